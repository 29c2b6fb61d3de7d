// konfigurator-cli: the device operations of Konfigurator for scripts and terminals.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "Commands.h"
#include "Json.h"
#include "PortsCommand.h"

namespace {

void OnSignal(int) { cli::Interrupted = true; }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (cli::IsPortsCommand(args)) return cli::RunPorts(args);
  const cli::ParseResult parsed = cli::ParseCommandLine(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "konfigurator-cli: %s\nTry konfigurator-cli --help.\n",
                 parsed.error.c_str());
    if (cli::WantsJson(args))
      std::fputs(cli::JsonLine({{"error", cli::JsonError("usage", parsed.error)}}).c_str(), stdout);
    return cli::ExitUsage;
  }
  switch (parsed.options.command) {
    case cli::Command::Help:
      std::printf("%s\n%s", cli::kUsage, cli::ScanDurationHelp().c_str());
      return cli::ExitOk;
    case cli::Command::Version:
      if (cli::WantsJson(args))
        std::fputs(cli::JsonLine({{"version", KONFIGURATOR_VERSION}}).c_str(), stdout);
      else
        std::printf("konfigurator-cli %s\n", KONFIGURATOR_VERSION);
      return cli::ExitOk;
    default:
      break;
  }

  // A signal only marks the run as interrupted: the device is released before the end.
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  // A closed output must not kill the run before the device is released.
  signal(SIGPIPE, SIG_IGN);

  cli::Options options = parsed.options;
  cli::ApplyLocations(options);
  return cli::RunCommand(options);
}
