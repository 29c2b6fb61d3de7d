// One device transaction (7-byte request, 8-byte reply) over one pseudo-terminal with one
// responder thread, through every contender in rotating blocks; then the read time-out of
// each against a silent peer. Ratios are to the plain poll/read loop.
// Run: bench_roundtrip [rounds=10000] [timeout reads=20] [only=text]
// With `only`, the round trip keeps the two plain loops and the contenders whose name holds
// the text, and the time-out figures are left out (as they are with 0 time-out reads): for
// profiling one contender.
// Beside wall time each contender's CPU time, context switches and (BENCH_SYSCALLS=1) system
// calls per exchange are given, with ratios to the plain loop with tcflush: the contender that
// does what the port does (a purge, a write, a read).
#include <sys/stat.h>

#include <filesystem>

#include "BenchSupport.h"
#include "Clients.h"
#include "Frames.h"
#include "komunikacja.h"

namespace fs = std::filesystem;
using namespace bench;

namespace {

constexpr DeviceAddress kAddress = 2;

// The device link's engine, its port reached as COM1 through a ports folder.
class TransactClient final : public Client {
 public:
  TransactClient(bool logging, const fs::path& dir) : logging_(logging), dir_(dir) {}
  const char* Name() const override {
    return logging_ ? "Transact, logging on" : "Transact, logging off";
  }
  void Open(const std::string& path) override {
    ServeUiQueue();
    std::error_code ec;
    fs::remove(dir_ / "COM1", ec);
    fs::create_symlink(path, dir_ / "COM1");
    TFkomunikacja::Options o;
    o.logDirectory = dir_.string();
    o.portsDirectory = dir_.string();
    module_ = std::make_unique<TFkomunikacja>(serial::SystemSerialApi(), o);
    LoggingEnabled = logging_;
    // The first transaction opens the port; it is not what is measured.
    char reply[8];
    if (Exchange(ReadOperatingModeRequest(kAddress), reply, 8) != 8) Die("first Transact");
    ServeUiQueue();
  }
  void Close() override {
    module_.reset();
    LoggingEnabled = false;
  }
  std::size_t Exchange(const std::string& request, char* reply, std::size_t n) override {
    ByteString r;
    const TransactionResult result = module_->Transact(request, r, std::int32_t(n), {0, 8});
    if (result != 0) Die("Transact result " + std::to_string(result));
    std::memcpy(reply, r.data(), r.size());
    return r.size();
  }
  // The engine's time-outs are the port's; only the peers' reads are compared.
  std::size_t TimedRead(char*, std::size_t) override { Die("Transact has no timed read"); }
  void Between() override { ServeUiQueue(); }

 private:
  const bool logging_;
  const fs::path dir_;
  std::unique_ptr<TFkomunikacja> module_;
};

}  // namespace

int main(int argc, char** argv) {
  StartCounting();
  const int rounds = ArgInt(argc, argv, 1, 10000);
  const int timeoutReads = ArgInt(argc, argv, 2, 20);
  std::string tmpl = (fs::temp_directory_path() / "konf-bench-XXXXXX").string();
  if (!::mkdtemp(tmpl.data())) Die("mkdtemp");
  const fs::path dir = tmpl;

  const ByteString request = ReadOperatingModeRequest(kAddress);
  const ByteString reply = BuildFrame(kAddress, FunctionRead, ParamOperatingMode, ByteString(1, 0));
  Pty pty;
  pty.AnswerWith(request.size(), reply);

  std::vector<std::unique_ptr<Client>> clients = AllClients();
  const std::size_t peers = clients.size();
  const std::string only = argc > 3 ? argv[3] : "";
  // Where the port's own cost goes: the platform layer alone, the port without its event monitor,
  // and with the monitor parked.
  clients.push_back(LayerClient());
  // The reference with half a microsecond of work between its write and its wait, about what a
  // port spends starting its read: where nothing pins the threads, the scheduler moves the
  // client to the other CPU more often the later it sleeps, and each move costs microseconds.
  clients.push_back(PlainClient(true, 500));
  clients.push_back(ComPortClient(false, true));
  clients.push_back(ComPortClient(true, false));
  clients.push_back(std::make_unique<TransactClient>(false, dir));
  clients.push_back(std::make_unique<TransactClient>(true, dir));

  std::vector<Contender> cs;
  for (auto& c : clients) {
    Client* client = c.get();
    if (!only.empty() && client != clients[0].get() && client != clients[1].get() &&
        std::string(client->Name()).find(only) == std::string::npos)
      continue;
    cs.push_back({client->Name(),
                  [client, &pty] { client->Open(pty.Path()); },
                  [client, &request, &reply] {
                    char got[8];
                    const auto t0 = Clock::now();
                    const std::size_t n = client->Exchange(request, got, sizeof got);
                    const double us = Micros(t0);
                    if (n != reply.size() || std::memcmp(got, reply.data(), n) != 0)
                      Die(std::string(client->Name()) + ": wrong reply");
                    return us;
                  },
                  [client, &pty] {
                    client->Close();
                    pty.Reset();
                  },
                  [client] { client->Between(); },
                  {},
                  {},
                  {}});
  }
  // A port is opened once and then exchanges for as long as the operator works: each block
  // is measured once the threads its open started have settled.
  constexpr int kBlock = 500;
  Interleave(cs, rounds, kBlock, 3000, std::chrono::milliseconds(100));
  std::printf(
      "round trip, 7 bytes out, 8 back, %d rounds each, interleaved in blocks of %d, each"
      " measured from 100 ms after its open; ratios are medians over rounds of a block against"
      " the other's block of the same round\n",
      rounds, kBlock);
  std::printf(
      "per exchange: wall median, p90, x floor, x ref (plain + tcflush) | CPU of all threads"
      " but the device's, median of blocks, x ref | voluntary context switches, + over ref |"
      " involuntary%s%s\n",
      CountingSyscalls() ? " | system calls" : "",
      detail::ThreadMoves() >= 0 ? " | moves of the calling thread to another CPU" : "");
  for (const Contender& c : cs) PrintCostLine(c, cs[0], cs[1]);

  if (!only.empty() || timeoutReads <= 0) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
  }

  // Time-out accuracy: nothing ever comes, the read ends by its total time-out.
  Pty silent;
  std::vector<Contender> ts;
  for (std::size_t k = 0; k < peers; ++k) {
    Client* client = clients[k].get();
    if (k == 1) continue;  // the flushing loop reads exactly as the plain one does
    ts.push_back({client->Name(),
                  [client, &silent] { client->Open(silent.Path()); },
                  [client] {
                    char buf[7];
                    const auto t0 = Clock::now();
                    const std::size_t n = client->TimedRead(buf, sizeof buf);
                    const double over = Micros(t0) / 1000.0 - LinkTimeoutMs(sizeof buf);
                    if (n != 0) Die(std::string(client->Name()) + ": read data from a silent peer");
                    return over;
                  },
                  [client, &silent] {
                    client->Close();
                    silent.Reset();
                  },
                  [client] { client->Between(); },
                  {},
                  {},
                  {}});
  }
  Interleave(ts, timeoutReads, 1, 0);
  std::printf("\nread time-out overshoot past %d ms, 7 bytes from a silent peer, %d reads each\n",
              LinkTimeoutMs(7), timeoutReads);
  for (const Contender& c : ts) {
    const Percentiles p = Summarise(c.samples);
    std::printf("%-40s median %9.3f ms  max %9.3f ms\n", c.name.c_str(), p.median, p.max);
  }

  std::error_code ec;
  fs::remove_all(dir, ec);
  silent.Release();
  pty.Release();
  return 0;
}
