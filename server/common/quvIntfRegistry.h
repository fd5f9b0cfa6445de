#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileWatch.h"
#include "platform/FileWatcher.h"
#include "platform/Sync.h"
#include "server/common/quvIntf.h"
#include "server/common/quvIntfFile.h"
#include "support/HandleCache.h"
#include "support/Hash.h"

namespace quv {

class TquvInterfaceLib;
class TquvInterfaces;

// ---- Process-wide switches ----

// While on, no library asks the loader for anything. Off at start.
void SetUpdatesOff(bool off);
bool UpdatesOff();
// Whether the bridge library was found beside the program at start-up.
bool IsServerEnvironment();
// Whether interface header records keep their descriptor text. Off at start.
void SetReadDescriptors(bool on);
bool ReadDescriptors();
// Whether index entries with a Flag are left out (files of version 17 on).
void SetSkipFlagged(bool on);
bool SkipFlagged();

// The seam through which libraries keep their files current from a server.
// The loader installs one; without it every library behaves as with updates
// off. Implementations must be thread-safe.
class IquvInterfaceLoader {
 public:
  virtual ~IquvInterfaceLoader() = default;
  // Brings `fileName` in `folder` up to date.
  virtual void UpdateFile(const std::string& folder, const std::string& fileName) = 0;
  // Brings the files the server has for `pattern` ("apps\*!*.quv") up to date
  // in `folder` and returns their names.
  virtual std::vector<std::string> UpdateFileList(const std::string& folder,
                                                  const std::string& pattern) = 0;
};
// Installs the loader (null removes it); it must stay alive while installed.
void SetInterfaceLoader(IquvInterfaceLoader* loader);

// A library path as libraries compare it: a host prefix ("host:") goes unless
// the path has a folder separator, and so does ".quv" after a bare name.
std::string NormalizedLibraryPath(std::string_view path);

// ---- Interfaces ----

// One interface of a library: its index entry, and its header record and two
// definition sets, read from the file on first use. Thread-safe. The owner
// library must outlive it.
class TquvInterface final : public IquvInterfaceIdentity {
 public:
  TquvInterface(TquvInterfaceLib& owner, const TIndexInfo& entry);

  // The library's name as the set name that record references complete
  // with, and library.module.interface.
  std::string Name() const override;
  std::string QualifiedName() const override;
  uint16_t Revision() const override;
  uint8_t Flag() const override { return FEntry.Flag; }
  std::string Text() const override;

  // module.interface as the index gives it.
  const std::string& FullName() const { return FEntry.Name; }
  const TIndexInfo& Entry() const { return FEntry; }
  uint8_t Kind() const { return FEntry.Kind; }
  uint32_t Offset() const { return FEntry.Offset; }
  const std::string& DescriptorText() const { return FEntry.ExtraText; }
  TquvInterfaceLib& Owner() const { return *FOwner; }

  // Loads on first use; raises the errors of the file and its records.
  const TquvInterfaceHeader& Header();
  // The first set (groups with ByteB 0) or the second.
  TquvInterfaceSymbolDefs& Defs(bool second = false);
  bool Loaded() const { return FLoaded.load(); }
  uint32_t LastUse() const { return FLastUse.load(); }
  void Touch();
  // A copy of Defs(second) with this interface's full name and `flag`, made
  // on first request and then shared, read-only, by everyone who asks.
  std::shared_ptr<const TquvSymbolDefs> SharedDefs(bool second, uint8_t flag);

 private:
  struct TSharedCopy {
    bool Second;
    uint8_t Flag;
    std::shared_ptr<const TquvSymbolDefs> Defs;
  };

  void Load();

  TquvInterfaceLib* FOwner;
  const std::string FLibraryName;
  const TIndexInfo FEntry;
  TCriticalSection FLock;
  std::atomic<bool> FLoaded{false};
  std::atomic<uint32_t> FLastUse{0};
  TquvInterfaceHeader FHeader;
  std::unique_ptr<TquvInterfaceSymbolDefs> FDefs1;
  std::unique_ptr<TquvInterfaceSymbolDefs> FDefs2;
  std::vector<TSharedCopy> FSharedCopies;  // guarded by FLock
};

using TquvInterfaceRef = std::shared_ptr<TquvInterface>;

// How a library finds and watches its files.
struct TquvLibraryOptions {
  std::string Folder;       // where bare library names are looked for
  bool UpdatesOff = false;  // this library never asks the loader
  bool WatchFiles = true;   // reload when the file changes on disk
  // When set, the interface data of a library file that is not plain come
  // from its companion <name>.<suffix>.quvo beside it.
  std::string InterfaceSuffix = {};
};

// One interface file: its index, its interfaces, the extension libraries
// that extend it and its descriptor names. Thread-safe (one lock; a reload
// takes the lock of its registry first).
class TquvInterfaceLib final {
 public:
  // A library of `registry` reloads its changed file under the registry's
  // lock and tells it; the registry must outlive the library.
  explicit TquvInterfaceLib(TquvLibraryOptions options, TquvInterfaces* registry = nullptr);
  ~TquvInterfaceLib();
  TquvInterfaceLib(const TquvInterfaceLib&) = delete;
  TquvInterfaceLib& operator=(const TquvInterfaceLib&) = delete;

  // Opens the library at `path` (a bare name, "host:name", "name.quv" or a
  // full path); the same path again only applies a pending reload. Not to be
  // called under the library's own lock.
  void Load(std::string_view path);
  // library.module.interface or module.interface; raises "Interface não
  // encontrada:" + the upper-cased name when absent.
  TquvInterfaceRef GetInterface(std::string_view name);
  // Enters the interface of an index entry under module.name; a key present
  // already raises "Interface duplicada " + module + "." + name.
  TquvInterface& AddInterface(std::string_view name, std::string_view module,
                              const TIndexInfo& entry);

  std::string Name() const;
  std::string FileName() const;
  int32_t FileVersion() const { return FFileVersion.load(); }
  bool PlainFile() const;
  // Whether the program resource stands for the file.
  bool FromResource() const;
  int32_t Count() const;
  // The interfaces in the order of their upper-cased names.
  std::vector<TquvInterfaceRef> Interfaces() const;
  bool IsDescriptorName(std::string_view name) const;
  // The interfaces that extend module.interface, in the order they were found.
  std::vector<TquvInterfaceRef> Extensions(std::string_view name) const;
  std::vector<std::string> ExtensionLibraryNames() const;
  // Tells the library that its file changed (the watcher's callback).
  void NotifyChanged() { FChangeCount.fetch_add(1); }
  // How often the index was read again after a change.
  uint32_t ReloadCount() const { return FReloadCount.load(); }

  // The decompressed (or, before version 13, raw) data of the interface at
  // `offset`, from the program resource or the file.
  std::vector<uint8_t> ReadInterfaceData(uint32_t offset);
  // Closes file handles idle for longer than the cache's expiry.
  void ExpireIdleHandles() { FCache.Expire(false); }
  int32_t CachedHandleCount() const { return FCache.Count(); }

 private:
  class TDataAccess;
  // The file that holds the interface data (the companion with a suffix),
  // asked of the loader first when updates are allowed.
  std::string DataFileName();
  struct TContents;

  bool UpdatesAllowed() const;
  // Whether the library is open under `normalized` already.
  bool IsOpenAs(const std::string& normalized) const;
  std::string ResolveFileName(const std::string& path) const;
  void OpenFile(const std::string& fileName);
  void ApplyPendingReload();
  // Reads header and index again when the file is no longer the one read;
  // returns whether it did.
  bool ReloadChangedFile();
  std::unique_ptr<TContents> ReadContents();
  TquvInterface& AddTo(TContents& contents, std::string_view name, std::string_view module,
                       const TIndexInfo& entry);
  void LoadExtensions(TContents& contents);
  std::vector<std::string> ExtensionFileNames();
  void Install(std::unique_ptr<TContents> contents);

  const TquvLibraryOptions FOptions;
  TquvInterfaces* const FRegistry;
  mutable TCriticalSection FLock;
  std::string FName;
  std::string FFileName;
  std::string FRequestedName;
  std::atomic<int32_t> FFileVersion{-1};
  TFileStamp FStamp;
  std::unique_ptr<TContents> FContents;
  TReadFileCache FCache;
  std::atomic<uint32_t> FChangeCount{0};
  std::atomic<uint32_t> FReloadCount{0};
  std::shared_ptr<TFileWatcher> FWatcher;
};

// The process's libraries. Thread-safe; owns its libraries.
class TquvInterfaces final : public IquvDefinitionSource {
 public:
  explicit TquvInterfaces(TquvLibraryOptions options);
  ~TquvInterfaces() override;

  // The library for `path`, opened on first use (the errors of opening it
  // reach the caller); raises "Error at TquvInterfaces.InternalGetItem. Could
  // not get item to " + path for a path that names no library.
  TquvInterfaceLib& InternalGetItem(std::string_view path);
  // The interface of library.module.interface.
  TquvInterfaceRef GetInterface(std::string_view dottedName);
  void FillDefinitions(std::string_view name, TquvSymbolDefs& defs) override;
  int32_t Count() const;
  // Runs the reload of one of its libraries under the registry lock, which
  // orders reloads with lookups; `reload` returns whether it read the file
  // again.
  void ReloadLibrary(const std::function<bool()>& reload);
  // How often one of its libraries read its file again after a change: who
  // keeps definitions from the registry can tell that they may be stale.
  uint32_t ReloadCount() const { return FReloadCount.load(); }

 private:
  const TquvLibraryOptions FOptions;
  mutable TCriticalSection FLock;
  std::vector<std::unique_ptr<TquvInterfaceLib>> FItems;
  std::atomic<uint32_t> FReloadCount{0};
};

// Makes the place of the process-wide registry, with the bridge test and the
// registry as the source of record references; ending it frees the registry
// (its watcher thread is stopped and joined).
std::unique_ptr<TScopePart> MakeInterfaceRegistry();
// The process-wide registry (libraries in the program's data folder), made on first use.
TquvInterfaces& GetRegistry();

// Fills `defs` with a copy of the first (or second) definition set of the
// interface named by `dottedName` (library.module.interface) in the
// process-wide registry; the copy's qualified name is the interface's full
// name and its Flag is `flag`. Lookup errors reach the caller unchanged.
void InterfaceDefinitions(std::string_view dottedName, TquvSymbolDefs& defs, bool second = false,
                          uint8_t flag = 0);
// The same definitions as one shared, read-only set (TquvInterface::SharedDefs):
// what a recordset takes instead of a copy of its own.
std::shared_ptr<const TquvSymbolDefs> SharedInterfaceDefinitions(std::string_view dottedName,
                                                                 bool second = false,
                                                                 uint8_t flag = 0);

}  // namespace quv
