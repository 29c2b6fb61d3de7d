// The device link: the communication module with its serial port, the transaction engines,
// the transaction log and the eight device operations the configuration window calls.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "ComPort.h"
#include "Frames.h"
#include "PreciseDelay.h"
#include "platform/SerialApi.h"

// The window's choice of port and speed: port index 0 is "COM1"; the speed is the
// TBaudRate of ordinal baud index + 1 (0 is br110, 8 is br19200).
struct LinkSettings {
  std::int32_t portIndex = 0;
  std::int32_t baudIndex = 0;
};

// The platform identifier of the NT family; Linux counts as one.
constexpr int VerPlatformWin32Nt = 2;
int SystemPlatformId();

// Process-wide switch of the transaction log; false until the configuration window is made.
extern bool LoggingEnabled;

// dir with one "/" at its end.
std::string WithTrailingBackslash(const std::string& dir);

// The log's date line for a local time: the user's short date, then a space and the user's
// long time unless the time is exactly midnight.
std::string LogDateTime(const std::tm& tm);

// Text forms of the module's own properties: exact, case-sensitive, with fallbacks.
TBaudRate BaudRateFromText(const std::string& text);  // br9600 for unknown text
std::string BaudRateToText(TBaudRate rate);           // "9600" for the speeds without a row
TStopBits StopBitsFromText(const std::string& text);  // sbTwoStopBits for unknown text
std::string StopBitsToText(TStopBits bits);

// The first time the log lost an entry, for a front end to tell; the log itself stays silent.
struct LogFailure {
  enum class Kind {
    None,
    Open,            // the file could not be opened or created
    NotRegularFile,  // a link, a folder, a FIFO, a device, or a file with other names
    Write,           // nothing of the entry went in
    ShortWrite,      // part of the entry went in
    Close,           // the file system refused at close what it had taken (full, I/O error)
  };
  Kind kind = Kind::None;
  int error = 0;          // errno of the failing call; 0 when there was none
  unsigned fileType = 0;  // NotRegularFile: the S_IFMT bits of what is there
  int failedEntries = 0;  // entries lost or incomplete since then, this one included
};

class TFkomunikacja {
 public:
  struct Options {
    int platformId = SystemPlatformId();
    // Folder of "trans.txt"; empty: the folder of the running executable.
    std::string logDirectory;
    // Folder of the COMn links; empty keeps the serial layer's (process-wide) choice.
    std::string portsDirectory;
  };

  explicit TFkomunikacja(serial::SerialApi& api = serial::SystemSerialApi());
  TFkomunikacja(serial::SerialApi& api, const Options& options);
  ~TFkomunikacja();
  TFkomunikacja(const TFkomunikacja&) = delete;
  TFkomunikacja& operator=(const TFkomunikacja&) = delete;

  // Chooses how the RS-485 transmitter is switched; run once by the constructor.
  void FormCreate();

  std::string predkoscTransmisji() const;
  void predkoscTransmisji(const std::string& text);
  std::string Numerportu() const;
  void Numerportu(const std::string& text);
  std::string bityStopu() const;
  void bityStopu(const std::string& text);

  // One request, one reply of a known length (at least 4). Results: 0 success, 1 port
  // failure, 2 not fully sent, 3 incomplete, 4 checksum, 5 length below 4, 7 refused,
  // 10 another address.
  TransactionResult Transact(const ByteString& request, ByteString& reply,
                             std::int32_t expectedLength, const LinkSettings& settings);
  // One request, one reply that carries its own length. Results 0, 1, 2, 3, 4, 10.
  TransactionResult TransactLengthPrefixed(const ByteString& request, ByteString& reply,
                                           const LinkSettings& settings);

  // One attempt of each device operation; outputs are written only on 0.
  TransactionResult EnterConfigModeOnce(DeviceAddress address, const LinkSettings& settings);
  TransactionResult LeaveConfigModeOnce(DeviceAddress address, const LinkSettings& settings);
  TransactionResult ReadOperatingModeOnce(DeviceAddress address, const LinkSettings& settings,
                                          std::int32_t& mode);
  TransactionResult WriteOperatingModeOnce(std::int32_t mode, DeviceAddress address,
                                           const LinkSettings& settings);
  TransactionResult ReadIpAddressOnce(DeviceAddress address, const LinkSettings& settings,
                                      std::string& ip);
  TransactionResult WriteIpAddressOnce(const std::string& ip, DeviceAddress address,
                                       const LinkSettings& settings);
  TransactionResult ReadIpPortOnce(DeviceAddress address, const LinkSettings& settings,
                                   std::string& port);
  TransactionResult WriteIpPortOnce(const std::string& port, DeviceAddress address,
                                    const LinkSettings& settings);

  // Appends one entry to "trans.txt" while LoggingEnabled; never fails.
  void LogTransaction(const ByteString& request, const ByteString& reply,
                      std::int32_t code) noexcept;
  // Where LogTransaction writes; empty when no folder can be found.
  std::string LogFilePath() const;
  // Kind None while every entry went in.
  const LogFailure& FirstLogFailure() const { return logFailure_; }

  bool IsNtFamily() const { return platformId_ == VerPlatformWin32Nt; }

  // What the port said when a transaction last ended in result 1, so that a person can be
  // told why: the component's error code (0 when none was raised), the system's error code
  // (errno) and the error's message.
  struct PortFailure {
    int portErrorCode = 0;
    int systemErrorCode = 0;
    std::string message;
  };
  const PortFailure& LastPortFailure() const { return lastPortFailure_; }

  const std::unique_ptr<TComPort> ComPort1;

 private:
  // Steps shared by both engines up to the read: select, open, purge, transmit. Returns 0
  // or the result that ends the transaction; throws on port failures.
  TransactionResult Prepare(const ByteString& request, const LinkSettings& settings);
  std::int32_t Transmit(const ByteString& request);
  // A failed port is closed, so the next transaction opens the device afresh.
  void ClosePortQuietly() noexcept;
  // Keeps what the port raised, closes it and gives result 1.
  TransactionResult PortFailed() noexcept;
  // Keeps the log's first failure and counts the entries lost since.
  void NoteLogFailure(const LogFailure& failure) noexcept;

  int platformId_;
  std::string logDirectory_;
  // Kept between entries: the file's path and the text of one entry, so a transaction's
  // entry costs the four calls that append it and no allocation.
  std::string logPath_;
  std::string logEntry_;
  LogFailure logFailure_;
  PortFailure lastPortFailure_;
};

// The eight device operations: the read time-out of the operation, at most two attempts,
// a pause after each failed one, no second attempt after a refusal (7).
TransactionResult EnterConfigMode(TFkomunikacja& module, DeviceAddress address,
                                  const LinkSettings& settings);
TransactionResult LeaveConfigMode(TFkomunikacja& module, DeviceAddress address,
                                  const LinkSettings& settings);
TransactionResult ReadOperatingMode(TFkomunikacja& module, DeviceAddress address,
                                    const LinkSettings& settings, std::int32_t& mode);
TransactionResult WriteOperatingMode(TFkomunikacja& module, std::int32_t mode,
                                     DeviceAddress address, const LinkSettings& settings);
TransactionResult ReadIpAddress(TFkomunikacja& module, DeviceAddress address,
                                const LinkSettings& settings, std::string& ip);
TransactionResult WriteIpAddress(TFkomunikacja& module, const std::string& ip,
                                 DeviceAddress address, const LinkSettings& settings);
TransactionResult ReadIpPort(TFkomunikacja& module, DeviceAddress address,
                             const LinkSettings& settings, std::string& port);
TransactionResult WriteIpPort(TFkomunikacja& module, const std::string& port, DeviceAddress address,
                              const LinkSettings& settings);
