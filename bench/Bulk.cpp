// Throughput: 1 MiB written and read back through an echoing peer in 4 KiB exchanges, through
// TComPort's WriteText/ReadText against the plain loop, repetitions interleaved.
// Run: bench_bulk [repetitions=20]
#include "BenchSupport.h"
#include "Clients.h"

using namespace bench;

int main(int argc, char** argv) {
  const int reps = ArgInt(argc, argv, 1, 20);
  constexpr std::size_t kChunk = 4096, kTotal = 1 << 20;
  std::string chunk(kChunk, '\0');
  for (std::size_t i = 0; i < kChunk; ++i) chunk[i] = char(i * 7 + 1);

  Pty pty;
  pty.Echo();
  std::unique_ptr<Client> clients[] = {PlainClient(false), ComPortClient()};
  std::vector<Contender> cs;
  for (auto& c : clients) {
    Client* client = c.get();
    cs.push_back({client->Name(),
                  [client, &pty] { client->Open(pty.Path()); },
                  [client, &chunk] {
                    std::vector<char> back(kChunk);
                    const auto t0 = Clock::now();
                    for (std::size_t done = 0; done < kTotal; done += kChunk) {
                      // Exchange writes the chunk, then reads as many bytes back.
                      if (client->Exchange(chunk, back.data(), kChunk) != kChunk ||
                          std::memcmp(back.data(), chunk.data(), kChunk) != 0)
                        Die(std::string(client->Name()) + ": echo lost or changed bytes");
                    }
                    const double seconds = Micros(t0) / 1e6;
                    return double(kTotal) / seconds / (1 << 20);  // MiB/s
                  },
                  [client, &pty] {
                    client->Close();
                    pty.Reset();
                  },
                  [client] { client->Between(); },
                  {}});
  }
  Interleave(cs, reps, 1, 2);
  std::printf("bulk, 1 MiB out and back in 4 KiB exchanges, %d repetitions each, interleaved\n",
              reps);
  const double floor = Summarise(cs[0].samples).median;
  for (const Contender& c : cs) PrintLine(c.name, Summarise(c.samples), "MiB/s", floor);
  std::printf(
      "(throughput: a ratio above 1 is faster than the plain loop; p90/p99 are the\n"
      " 90th/99th percentile throughput, i.e. the faster repetitions)\n");
  pty.Release();
  return 0;
}
