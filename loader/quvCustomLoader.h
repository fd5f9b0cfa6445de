#pragma once

#include <atomic>
#include <climits>
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

// How an update ended, as the end-of-update hook hears it.
enum class TUpdateOutcome {
  Current,  // nothing to fetch (registrations and unpacks left pending may have run)
  Fetched,  // the file was received and put in place
  Failed,   // an exception ended it; it passes on after the hook
};

// Keeps local files current with the copies a server publishes: compares
// versions, fetches whole files or differences through "_new", replaces files
// whole, unpacks archives, installs fonts, registers component libraries and
// runs programs that ask for it. Descendants reach the server. One thread at
// a time per loader; processes and loaders exclude each other per file with
// the named lock FileLockName(local file).
class TCustomLoader {
 public:
  TCustomLoader() = default;
  virtual ~TCustomLoader() = default;
  TCustomLoader(const TCustomLoader&) = delete;
  TCustomLoader& operator=(const TCustomLoader&) = delete;

  // Brings `remoteName` up to date as the file of that name in `localFolder`
  // (the program's folder) and returns the local file's full name. A name
  // ending in ".upd" asks for a descriptor alone: the cached descriptor of
  // the file it names is brought up to date, and its name returned. A
  // missing folder raises "Pasta do programa não encontrada: " + folder. A
  // local name outside the folder is refused before the hooks run.
  std::string Update(const std::string& localFolder, const std::string& remoteName);
  // The same, installed as `localName` (relative to `localFolder`).
  std::string Update(const std::string& localFolder, const std::string& remoteName,
                     const std::string& localName);

  // The server's files that match `mask`; names in the server's answer that
  // the mask does not ask for (MatchesListMask) are left out.
  virtual std::vector<std::string> ListFiles(const std::string& mask) = 0;
  // Appends the server's file `remoteName` to `stream`; `localName` is the
  // file it is meant for and `tag` travels in the request. A file the server
  // refuses raises ERemoteFileError with the server's text; one announced
  // larger than `maxBytes`, or not received in time, raises ELoaderError
  // "Erro recebendo " + remoteName + ": " + the reason, before its bytes are
  // held.
  virtual void GetFile(const std::string& remoteName, const std::string& localName, int32_t tag,
                       TStream& stream, int64_t maxBytes) = 0;
  // The contents of several files at once; "Not supported" here.
  virtual std::vector<std::string> RequestFiles(const std::vector<std::string>& remoteNames);
  virtual void GetConnection() = 0;
  virtual void ReleaseConnection() = 0;

  // Makes the running update stop with "Carga de módulo cancelada.", or the
  // next one when none is running; the update it stops clears it.
  void Cancel() { FCancelled.store(true); }
  const std::string& GlobalVersion() const { return FGlobalVersion; }

  // The operating-system name the "source" section is read with.
  static std::string OperatingSystemName();

  // The most bytes a server may send for the global version file or a list
  // of names; descriptors have kMaxDescriptorBytes. Whole files and
  // differences go to the disk as they arrive: only the protocol (2 GiB)
  // bounds them.
  static constexpr int64_t kMaxListBytes = int64_t(16) << 20;
  static constexpr int64_t kMaxStreamedBytes = INT32_MAX;

 protected:
  // Hooks: before an update, at the end of every update (also one that
  // fails, before its exception passes on), and after each file received.
  virtual void UpdateStarting(const std::string& /*localName*/) {}
  virtual void UpdateFinished(const std::string& /*localName*/, TUpdateOutcome /*outcome*/) {}
  virtual void FileReceived(const std::string& /*remoteName*/, int64_t /*bytes*/) {}

 private:
  struct TOutOfDate {
    bool OutOfDate = false;
    uint32_t OldChecksum = 0;
  };

  bool UpdateUnderLock(const std::string& folder, const std::string& remoteName,
                       const std::string& target);
  bool Fetch(const std::string& folder, const std::string& remoteName, const std::string& target);
  bool InstallChecked(const std::string& folder, TRemoteFileDef& file);
  void LoadDependencies(const std::string& folder, const std::vector<std::string>& names);
  void EnsureGlobalVersion(const std::string& folder);
  // The server's descriptor of `remoteName` through the cache; `refresh`
  // asks the server even when the cached one is of the global version.
  TUpdateDescriptor ServerDescriptor(const std::string& folder, const std::string& remoteName,
                                     bool refresh = false);
  static TOutOfDate CheckOutOfDate(const TRemoteFileDef& file);
  void Install(const TRemoteFileDef& file, uint32_t oldChecksum);
  // The file received into "_new" (a header, then the bytes).
  std::string Receive(const std::string& remoteName, const TRemoteFileDef& file);
  std::string ReceiveWhole(const std::string& remoteName, const std::string& localName,
                           int64_t maxBytes);
  void Unpack(const std::string& folder, const TRemoteFileDef& file);
  void ActOnFlags(const TRemoteFileDef& file, bool installed);
  void CheckCancelled() const;

  std::atomic<bool> FCancelled{false};
  std::once_flag FGlobalVersionRead;
  std::string FGlobalVersion;
};

// The server's descriptor of `remoteName` as cached in "_updcache"
// (CacheFileName).
std::string CachedDescriptorName(const std::string& folder, const std::string& remoteName);

}  // namespace quv
