#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "loader/quvUpdateDescriptor.h"
#include "platform/Streams.h"

namespace quv {

// One remote file as the loader handles it: the name the server knows, the
// local file it becomes, and the server's current descriptor of it.
struct TRemoteFileDef {
  std::string RemoteName;
  std::string LocalName;  // full path
  TUpdateDescriptor Descriptor;
};

// Keeps local files current with the copies a server publishes: compares
// versions, fetches whole files or differences through "_new", replaces files
// whole, unpacks archives, installs fonts, registers component libraries and
// runs programs that ask for it. Descendants reach the server. One thread at
// a time per loader; processes and loaders exclude each other per file with
// the named lock "DMUPD_" + the flattened local file name.
class TCustomLoader {
 public:
  TCustomLoader() = default;
  virtual ~TCustomLoader() = default;
  TCustomLoader(const TCustomLoader&) = delete;
  TCustomLoader& operator=(const TCustomLoader&) = delete;

  // Brings `remoteName` up to date as the file of that name in `localFolder`
  // (the program's folder) and returns the local file's full name.
  std::string Update(const std::string& localFolder, const std::string& remoteName);
  // The same, installed as `localName` (relative to `localFolder`).
  std::string Update(const std::string& localFolder, const std::string& remoteName,
                     const std::string& localName);

  // The server's files that match `mask`.
  virtual std::vector<std::string> ListFiles(const std::string& mask) = 0;
  // Appends the server's file `remoteName` to `stream`; `localName` is the
  // file it is meant for and `tag` travels in the request. A file the server
  // refuses raises ERemoteFileError with the server's text.
  virtual void GetFile(const std::string& remoteName, const std::string& localName, int32_t tag,
                       TStream& stream) = 0;
  // The contents of several files at once; "Not supported" here.
  virtual std::vector<std::string> RequestFiles(const std::vector<std::string>& remoteNames);
  virtual void GetConnection() = 0;
  virtual void ReleaseConnection() = 0;

  // Makes the running and later updates stop with "Carga de módulo cancelada.".
  void Cancel() { FCancelled.store(true); }
  const std::string& GlobalVersion() const { return FGlobalVersion; }

  // The operating-system name the "source" section is read with.
  static std::string OperatingSystemName();

 protected:
  // Hooks: before an update, at the end of every update (with whether the
  // file was fetched), and after each file received.
  virtual void UpdateStarting(const std::string& /*localName*/) {}
  virtual void UpdateFinished(const std::string& /*localName*/, bool /*fetched*/) {}
  virtual void FileReceived(const std::string& /*remoteName*/, int64_t /*bytes*/) {}

 private:
  struct TOutOfDate {
    bool OutOfDate = false;
    uint32_t OldChecksum = 0;
  };

  bool FetchUnderLock(const std::string& folder, const std::string& remoteName,
                      const std::string& target, TUpdateDescriptor& descriptor);
  bool Fetch(const std::string& folder, const TRemoteFileDef& file);
  void LoadDependencies(const std::string& folder, const std::vector<std::string>& names);
  void EnsureGlobalVersion(const std::string& folder);
  TUpdateDescriptor ServerDescriptor(const std::string& folder, const std::string& remoteName);
  static TOutOfDate CheckOutOfDate(const TRemoteFileDef& file);
  void Install(const TRemoteFileDef& file, uint32_t oldChecksum);
  std::string Receive(const std::string& remoteName, const TRemoteFileDef& file);
  std::string ReceiveWhole(const std::string& remoteName, const std::string& localName);
  void Unpack(const std::string& folder, const TRemoteFileDef& file);
  void ActOnFlags(const TRemoteFileDef& file);
  void CheckCancelled() const;

  std::atomic<bool> FCancelled{false};
  std::once_flag FGlobalVersionRead;
  std::string FGlobalVersion;
};

// The server's descriptor of `remoteName` as cached in "_updcache".
std::string CachedDescriptorName(const std::string& folder, const std::string& remoteName);

}  // namespace quv
