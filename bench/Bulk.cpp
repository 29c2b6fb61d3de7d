// Throughput: 1 MiB written and read back through an echoing peer in 4 KiB exchanges, through
// TComPort's WriteText/ReadText against the plain loop, alternating MiB by MiB.
// Run: bench_bulk [MiB=20] [only=text]  (only: run just the contenders whose name holds it)
#include "BenchSupport.h"
#include "Clients.h"

using namespace bench;

int main(int argc, char** argv) {
  StartCounting();
  const int reps = ArgInt(argc, argv, 1, 20);
  constexpr std::size_t kChunk = 4096, kTotal = 1 << 20;
  constexpr int kPerMiB = int(kTotal / kChunk);
  std::string chunk(kChunk, '\0');
  for (std::size_t i = 0; i < kChunk; ++i) chunk[i] = char(i * 7 + 1);

  Pty pty;
  pty.Echo();
  // Plain reads and writes against WriteText/ReadText; the purge each transaction starts with
  // is the round trip's concern, shown here beside them for what it costs.
  std::unique_ptr<Client> clients[] = {PlainClient(false), ComPortClient(true, true, false),
                                       PlainClient(true), ComPortClient(true, true, true)};
  const std::string only = argc > 2 ? argv[2] : "";
  std::vector<Contender> cs;
  for (auto& c : clients) {
    Client* client = c.get();
    if (!only.empty() && std::string(client->Name()).find(only) == std::string::npos) continue;
    cs.push_back({client->Name(),
                  [client, &pty] { client->Open(pty.Path()); },
                  [client, &chunk] {
                    std::vector<char> back(kChunk);
                    const auto t0 = Clock::now();
                    // Exchange writes the chunk, then reads as many bytes back.
                    const std::size_t n = client->Exchange(chunk, back.data(), kChunk);
                    const double us = Micros(t0);
                    if (n != kChunk || std::memcmp(back.data(), chunk.data(), kChunk) != 0)
                      Die(std::string(client->Name()) + ": echo lost or changed bytes");
                    return us;
                  },
                  [client, &pty] {
                    client->Close();
                    pty.Reset();
                  },
                  // The event loop does not run during a transfer: once per MiB.
                  [client, k = 0]() mutable {
                    if (++k % kPerMiB == 0) client->Between();
                  },
                  {},
                  {},
                  {}});
  }
  // One block is one MiB; single 4 KiB exchanges are the samples, since whole MiBs vary
  // too much on a shared machine for a median of a few of them to hold.
  Interleave(cs, reps * kPerMiB, kPerMiB, 2 * kPerMiB);
  std::printf("bulk, 1 MiB out and back in 4 KiB exchanges, %d MiB each, interleaved MiB by MiB\n",
              reps);
  const double floor = Summarise(cs[0].samples).median;
  for (const Contender& c : cs) {
    const Percentiles p = Summarise(c.samples);
    std::printf(
        "%-40s median %9.1f us per 4 KiB = %6.1f MiB/s  p90 %9.1f  p99 %9.1f  "
        "throughput x%.3f | cpu %6.1f us, vcs %5.2f, ics %5.2f per 4 KiB\n",
        c.name.c_str(), p.median, double(kChunk) / p.median * 1e6 / (1 << 20), p.p90, p.p99,
        floor / p.median, c.costs.Per(c.costs.cpuUs), c.costs.Per(c.costs.voluntary),
        c.costs.Per(c.costs.involuntary));
  }
  pty.Release();
  return 0;
}
