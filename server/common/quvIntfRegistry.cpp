#include "server/common/quvIntfRegistry.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "platform/ExePath.h"
#include "platform/FailureGuard.h"
#include "platform/FileIo.h"
#include "platform/Resources.h"
#include "server/common/quvViewStream.h"
#include "server/common/quvstream.h"
#include "support/BrokerBridge.h"

namespace quv {

namespace {

constexpr std::string_view kResourceType = "QUVFILE";
constexpr std::string_view kExtension = ".quv";
constexpr int32_t kInterfaceBuckets = 10000;
constexpr int32_t kDescriptorBuckets = 1000;
constexpr int32_t kDescriptorKind = 10;
constexpr int16_t kExtendsWord1 = 2;
constexpr int32_t kFirstSkipFlaggedVersion = 17;
constexpr int32_t kCacheExpiry = 10000;
// A changed file may be missing for a moment while it is replaced.
constexpr auto kReloadPoll = std::chrono::milliseconds(100);
constexpr int32_t kReloadPolls = 100;

std::atomic<bool> GUpdatesOff{false};
std::atomic<bool> GServerEnvironment{false};
std::atomic<bool> GReadDescriptors{false};
std::atomic<bool> GSkipFlagged{false};
std::atomic<IquvInterfaceLoader*> GLoader{nullptr};

// Answers record references from the process's registry.
class TRegistrySource final : public IquvDefinitionSource {
 public:
  void FillDefinitions(std::string_view name, TquvSymbolDefs& defs) override {
    GetRegistry().FillDefinitions(name, defs);
  }
};

// The process's registry, made on the first lookup, with what comes before
// and after it: the bridge test, and the registry as the source of record
// references; ending frees the registry (its watcher thread is stopped and joined).
struct TRegistryState {
  TRegistryState();
  ~TRegistryState();
  TRegistrySource Source;
  std::mutex Lock;
  std::unique_ptr<TquvInterfaces> Interfaces;  // guarded by Lock
  // The extension files a loader lists, asked once per process.
  std::once_flag ExtensionsAsked;
  std::vector<std::string> ExtensionNames;
};

constinit TProcessSlot<TRegistryState> gRegistry("interface registry");

[[noreturn]] void Fail(std::string message) { throw TquvInterfaceError(std::move(message)); }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AnsiUpperChar(x) == AnsiUpperChar(y);
         });
}

bool HasSeparator(std::string_view path) {
  return path.find('/') != std::string_view::npos || path.find('\\') != std::string_view::npos;
}

bool EndsWithText(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && SameText(text.substr(text.size() - suffix.size()), suffix);
}

std::string BaseNameWithoutExtension(const std::string& fileName) {
  std::string base = ExtractFileName(fileName);
  if (EndsWithText(base, kExtension)) base.resize(base.size() - kExtension.size());
  return base;
}

[[noreturn]] void FailNotFound(std::string_view name) {
  Fail(std::string("Interface não encontrada:"_cp) + AnsiUpperCase(name));
}

// Whether an extension file's base name ("lib!ext", "lib!a!b") extends `library`.
bool ExtendsLibrary(std::string_view baseName, std::string_view library) {
  for (std::size_t bang = baseName.rfind('!'); bang != std::string_view::npos;
       bang = baseName.rfind('!')) {
    baseName = baseName.substr(0, bang);
    if (SameText(baseName, library)) return true;
  }
  return false;
}

// The interface an extension's descriptor text names, without a library part.
std::string ExtendedInterfaceName(std::string_view descriptor) {
  const std::size_t first = descriptor.find('.');
  if (first != std::string_view::npos && first != descriptor.rfind('.')) {
    descriptor.remove_prefix(first + 1);
  }
  return AnsiUpperCase(descriptor);
}

struct TDescriptorName {
  std::string Name;
};

// A copy of one set of the interface, named after it.
void CopyDefinitions(TquvInterface& source, TquvSymbolDefs& defs, bool second) {
  defs.Assign(source.Defs(second));
  defs.SetQualifiedName(source.QualifiedName());
}

}  // namespace

void SetUpdatesOff(bool off) { GUpdatesOff.store(off); }
bool UpdatesOff() { return GUpdatesOff.load(); }
bool IsServerEnvironment() { return GServerEnvironment.load(); }
void SetReadDescriptors(bool on) { GReadDescriptors.store(on); }
bool ReadDescriptors() { return GReadDescriptors.load(); }
void SetSkipFlagged(bool on) { GSkipFlagged.store(on); }
bool SkipFlagged() { return GSkipFlagged.load(); }
void SetInterfaceLoader(IquvInterfaceLoader* loader) { GLoader.store(loader); }

std::string NormalizedLibraryPath(std::string_view path) {
  if (!HasSeparator(path)) {
    const std::size_t colon = path.find(':');
    if (colon != std::string_view::npos) path.remove_prefix(colon + 1);
    if (EndsWithText(path, kExtension)) path.remove_suffix(kExtension.size());
  }
  return std::string(path);
}

// ---- TquvInterface ----

TquvInterface::TquvInterface(TquvInterfaceLib& owner, const TIndexInfo& entry)
    : FOwner(&owner), FLibraryName(owner.Name()), FEntry(entry) {}

std::string TquvInterface::Name() const { return FLibraryName; }

std::string TquvInterface::QualifiedName() const { return FLibraryName + "." + FEntry.Name; }

uint16_t TquvInterface::Revision() const { return FLoaded.load() ? FHeader.Word3 : 0; }

std::string TquvInterface::Text() const { return FLoaded.load() ? FHeader.Text1 : std::string(); }

void TquvInterface::Touch() { FLastUse.store(Clock().TickCount()); }

const TquvInterfaceHeader& TquvInterface::Header() {
  Load();
  return FHeader;
}

TquvInterfaceSymbolDefs& TquvInterface::Defs(bool second) {
  Load();
  return second ? *FDefs2 : *FDefs1;
}

std::shared_ptr<const TquvSymbolDefs> TquvInterface::SharedDefs(bool second, uint8_t flag) {
  Defs(second);  // loaded before the lock is taken: Load takes it too
  std::lock_guard<TCriticalSection> guard(FLock);
  for (const TSharedCopy& copy : FSharedCopies)
    if (copy.Second == second && copy.Flag == flag) return copy.Defs;
  auto defs = std::make_shared<TquvSymbolDefs>();
  CopyDefinitions(*this, *defs, second);
  defs->SetFlag(flag);
  defs->PrepareForSharing();
  FSharedCopies.push_back({second, flag, defs});
  return defs;
}

void TquvInterface::Load() {
  if (FLoaded.load()) return;
  std::lock_guard<TCriticalSection> guard(FLock);
  if (FLoaded.load()) return;
  const int32_t version = FOwner->FileVersion();
  auto first = std::make_unique<TquvInterfaceSymbolDefs>(*this);
  auto second = std::make_unique<TquvInterfaceSymbolDefs>(*this);
  TquvInterfaceHeader header = ParseInterfaceData(FOwner->ReadInterfaceData(FEntry.Offset), version,
                                                  ReadDescriptors(), *first, *second);
  FHeader = std::move(header);
  FDefs1 = std::move(first);
  FDefs2 = std::move(second);
  FLoaded.store(true);
}

// ---- TquvInterfaceLib ----

struct TquvInterfaceLib::TContents {
  int32_t FileVersion = -1;
  bool PlainFile = false;
  TFileStamp Stamp;
  std::map<std::string, TquvInterfaceRef> Sorted;
  THashList Hash{kInterfaceBuckets};  // borrows the TquvInterfaceRef of Sorted
  THashList DescriptorNames{kDescriptorBuckets,
                            {true, THashOwnership::Objects, THashDuplicates::Ignore}};
  std::vector<std::string> ExtendingNames;  // module.interface of extending interfaces
  std::map<std::string, std::vector<TquvInterfaceRef>> Extensions;
  std::vector<std::unique_ptr<TquvInterfaceLib>> ExtensionLibs;
};

// The bytes of the library: its program resource, else its file through the
// cache (the handle is held, and so is the library lock, while it lives).
class TquvInterfaceLib::TDataAccess final {
 public:
  TDataAccess(TquvInterfaceLib& lib, std::string fileName)
      : FLib(lib), FFileName(std::move(fileName)) {
    if (const auto resource = FindResource(kResourceType, lib.FName)) {
      FStream = std::make_unique<TViewStream>(*resource);
      return;
    }
    if (!FileExists(FFileName)) {
      Fail(std::string("Não foi possível acessar arquivo "_cp) + FFileName);
    }
    lib.FCache.Expire(false);
    FHandle = lib.FCache.Acquire(FFileName);
    if (FHandle == kNoHandle) Fail(std::string("Não foi possível abrir o arquivo "_cp) + FFileName);
    FStream = std::make_unique<THandleStream>(FHandle);
  }
  ~TDataAccess() {
    if (FHandle != kNoHandle) FLib.FCache.ReleaseHandle(FFileName, FHandle);
  }
  TDataAccess(const TDataAccess&) = delete;
  TDataAccess& operator=(const TDataAccess&) = delete;

  TStream& Stream() { return *FStream; }

 private:
  TquvInterfaceLib& FLib;
  const std::string FFileName;
  THandle FHandle = kNoHandle;
  std::unique_ptr<TStream> FStream;
};

TquvInterfaceLib::TquvInterfaceLib(TquvLibraryOptions options, TquvInterfaces* registry)
    : FOptions(std::move(options)), FRegistry(registry) {
  FCache.SetExpiry(kCacheExpiry);
}

TquvInterfaceLib::~TquvInterfaceLib() {
  if (FWatcher) FWatcher->Remove(this);
  FContents.reset();
  FCache.ReleaseAll();
}

std::string TquvInterfaceLib::Name() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FName;
}

std::string TquvInterfaceLib::FileName() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FFileName;
}

bool TquvInterfaceLib::PlainFile() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FContents && FContents->PlainFile;
}

bool TquvInterfaceLib::FromResource() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return !FName.empty() && FindResource(kResourceType, FName).has_value();
}

int32_t TquvInterfaceLib::Count() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FContents ? static_cast<int32_t>(FContents->Sorted.size()) : 0;
}

std::vector<TquvInterfaceRef> TquvInterfaceLib::Interfaces() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  std::vector<TquvInterfaceRef> result;
  if (FContents)
    for (const auto& [key, ref] : FContents->Sorted) result.push_back(ref);
  return result;
}

bool TquvInterfaceLib::IsDescriptorName(std::string_view name) const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return FContents && FContents->DescriptorNames.Exists(name);
}

std::vector<TquvInterfaceRef> TquvInterfaceLib::Extensions(std::string_view name) const {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (!FContents) return {};
  const auto found = FContents->Extensions.find(AnsiUpperCase(name));
  return found == FContents->Extensions.end() ? std::vector<TquvInterfaceRef>() : found->second;
}

std::vector<std::string> TquvInterfaceLib::ExtensionLibraryNames() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  std::vector<std::string> names;
  if (FContents)
    for (const auto& lib : FContents->ExtensionLibs) names.push_back(lib->Name());
  return names;
}

bool TquvInterfaceLib::UpdatesAllowed() const {
  return GLoader.load() != nullptr && !UpdatesOff() && !FOptions.UpdatesOff &&
         !IsServerEnvironment();
}

std::string TquvInterfaceLib::ResolveFileName(const std::string& path) const {
  if (HasSeparator(path)) return path;
  const std::string name = path + std::string(kExtension);
  const std::string exact = FOptions.Folder + "/" + name;
  if (FileStampOf(exact).Exists) return exact;
  // Library names ignore case; so does the search for their file.
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(FOptions.Folder, error)) {
    const std::string candidate = item.path().filename().string();
    if (SameText(candidate, name)) return FOptions.Folder + "/" + candidate;
  }
  return exact;
}

bool TquvInterfaceLib::IsOpenAs(const std::string& normalized) const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return !FRequestedName.empty() &&
         (SameText(normalized, FRequestedName) || SameText(normalized, FName));
}

void TquvInterfaceLib::Load(std::string_view path) {
  const std::string normalized = NormalizedLibraryPath(path);
  if (IsOpenAs(normalized)) {
    ApplyPendingReload();
    return;
  }
  std::lock_guard<TCriticalSection> guard(FLock);
  const std::string fileName = ResolveFileName(normalized);
  if (IquvInterfaceLoader* loader = GLoader.load(); loader != nullptr && UpdatesAllowed())
    loader->UpdateFile(ExtractFileDir(fileName), ExtractFileName(fileName));
  if (fileName != FFileName) OpenFile(fileName);
  FRequestedName = normalized;
}

void TquvInterfaceLib::OpenFile(const std::string& fileName) {
  std::string oldFileName = FFileName;
  std::string oldName = FName;
  FFileName = fileName;
  FName = AnsiUpperCase(BaseNameWithoutExtension(fileName));
  {
    const TFailureGuard restoreNames([&] {
      FFileName = std::move(oldFileName);
      FName = std::move(oldName);
    });
    Install(ReadContents());
  }
  if (FWatcher) FWatcher->Remove(this);
  if (FOptions.WatchFiles && !FromResource()) {
    if (!FWatcher) FWatcher = AcquireFileWatcher();
    FWatcher->Add(FFileName, this, [this](const std::string&) { NotifyChanged(); });
  }
}

// Without the library lock: a reload takes the registry lock before it.
void TquvInterfaceLib::ApplyPendingReload() {
  if (FChangeCount.exchange(0) == 0) return;
  const std::string fileName = FileName();
  for (int32_t i = 0; i < kReloadPolls && !FileStampOf(fileName).Exists; ++i)
    std::this_thread::sleep_for(kReloadPoll);
  const auto reload = [this] { return ReloadChangedFile(); };
  if (FRegistry) {
    FRegistry->ReloadLibrary(reload);
  } else {
    reload();
  }
}

bool TquvInterfaceLib::ReloadChangedFile() {
  std::lock_guard<TCriticalSection> guard(FLock);
  FCache.ReleaseAll();
  const TFileStamp stamp = FileStampOf(FFileName);
  if (stamp == FStamp || stamp.Size <= 0) return false;
  {
    // Keep the change pending: the old index does not describe the new file.
    const TFailureGuard keepChangePending([this] { FChangeCount.fetch_add(1); });
    Install(ReadContents());
  }
  FReloadCount.fetch_add(1);
  return true;
}

std::unique_ptr<TquvInterfaceLib::TContents> TquvInterfaceLib::ReadContents() {
  auto contents = std::make_unique<TContents>();
  contents->Stamp = FileStampOf(FFileName);
  std::vector<TIndexInfo> entries;
  {
    TDataAccess access(*this, FFileName);
    TStream& stream = access.Stream();
    const int64_t size = stream.Size();
    char headerBytes[kFileHeaderSize] = {};
    stream.SetPosition(0);
    const int32_t got = stream.Read(headerBytes, kFileHeaderSize);
    const TFileHeaderInfo header =
        ParseFileHeader(std::string_view(headerBytes, std::max(got, 0)), FFileName);
    contents->FileVersion = header.FileVersion;
    contents->PlainFile = header.PlainFile;
    entries = ReadIntfIndex(stream, size, header.FileVersion, FFileName);
  }
  for (const TIndexInfo& entry : entries) {
    if (entry.Flag != 0 && SkipFlagged() && contents->FileVersion >= kFirstSkipFlaggedVersion)
      continue;
    const std::size_t dot = entry.Name.rfind('.');
    const std::string_view full(entry.Name);
    const std::string_view module = dot == std::string::npos ? "" : full.substr(0, dot);
    const std::string_view name = dot == std::string::npos ? full : full.substr(dot + 1);
    AddTo(*contents, name, module, entry);
    if (entry.Kind == kDescriptorKind)
      contents->DescriptorNames.Add(entry.Name,
                                    std::make_unique<TDescriptorName>(TDescriptorName{entry.Name}));
    if (!entry.ExtraText.empty() && entry.Word1 == kExtendsWord1)
      contents->ExtendingNames.push_back(entry.Name);
  }
  if (FName.find('!') == std::string::npos) LoadExtensions(*contents);
  return contents;
}

TquvInterface& TquvInterfaceLib::AddInterface(std::string_view name, std::string_view module,
                                              const TIndexInfo& entry) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (!FContents) FContents = std::make_unique<TContents>();
  return AddTo(*FContents, name, module, entry);
}

TquvInterface& TquvInterfaceLib::AddTo(TContents& contents, std::string_view name,
                                       std::string_view module, const TIndexInfo& entry) {
  const std::string fullName =
      module.empty() ? std::string(name) : std::string(module) + "." + std::string(name);
  std::string key = AnsiUpperCase(fullName);
  if (contents.Sorted.count(key) != 0) Fail("Interface duplicada " + fullName);
  auto [position, added] =
      contents.Sorted.emplace(std::move(key), std::make_shared<TquvInterface>(*this, entry));
  contents.Hash.Add(position->first, THashValue(static_cast<void*>(&position->second)));
  return *position->second;
}

void TquvInterfaceLib::LoadExtensions(TContents& contents) {
  const std::string folder = ExtractFileDir(FFileName);
  for (const std::string& fileName : ExtensionFileNames()) {
    if (!ExtendsLibrary(BaseNameWithoutExtension(fileName), FName)) continue;
    auto lib = std::make_unique<TquvInterfaceLib>(FOptions);
    lib->Load(folder + "/" + fileName);
    contents.ExtensionLibs.push_back(std::move(lib));
  }
  const auto enter = [&contents](const TContents& source) {
    for (const std::string& name : source.ExtendingNames) {
      const TquvInterfaceRef& ref = source.Sorted.at(AnsiUpperCase(name));
      contents.Extensions[ExtendedInterfaceName(ref->DescriptorText())].push_back(ref);
    }
  };
  enter(contents);
  for (const auto& lib : contents.ExtensionLibs)
    if (lib->FContents) enter(*lib->FContents);
}

std::vector<std::string> TquvInterfaceLib::ExtensionFileNames() {
  const std::string folder = ExtractFileDir(FFileName);
  if (IquvInterfaceLoader* loader = GLoader.load(); loader != nullptr && UpdatesAllowed()) {
    TRegistryState& registry = *gRegistry;
    std::call_once(registry.ExtensionsAsked, [&] {
      registry.ExtensionNames = loader->UpdateFileList(folder, "apps\\*!*.quv");
    });
    return registry.ExtensionNames;
  }
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = item.path().filename().string();
    if (name.find('!') != std::string::npos && EndsWithText(name, kExtension) &&
        item.is_regular_file(error))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

void TquvInterfaceLib::Install(std::unique_ptr<TContents> contents) {
  FStamp = contents->Stamp;
  FFileVersion.store(contents->FileVersion);
  FContents = std::move(contents);
}

TquvInterfaceRef TquvInterfaceLib::GetInterface(std::string_view name) {
  const std::size_t first = name.find('.');
  std::string_view key = name;
  if (first != std::string_view::npos && first != name.rfind('.')) {
    Load(name.substr(0, first));
    key = name.substr(first + 1);
  }
  std::lock_guard<TCriticalSection> guard(FLock);
  TquvInterfaceRef* found = nullptr;
  if (!FContents || !FContents->Hash.Find(AnsiUpperCase(key), found)) FailNotFound(name);
  (*found)->Touch();
  return *found;
}

std::vector<uint8_t> TquvInterfaceLib::ReadInterfaceData(uint32_t offset) {
  std::lock_guard<TCriticalSection> guard(FLock);
  TDataAccess access(*this, DataFileName());
  return ReadInterfaceBytes(access.Stream(), offset, FFileVersion.load(), FFileName);
}

std::string TquvInterfaceLib::DataFileName() {
  if (FOptions.InterfaceSuffix.empty()) return FFileName;
  const std::string folder = ExtractFileDir(FFileName);
  const std::string companion =
      BaseNameWithoutExtension(FFileName) + "." + FOptions.InterfaceSuffix + ".quvo";
  if (IquvInterfaceLoader* loader = GLoader.load(); loader != nullptr && UpdatesAllowed())
    loader->UpdateFile(folder, companion);
  return FContents && FContents->PlainFile ? FFileName : folder + "/" + companion;
}

// ---- TquvInterfaces ----

TquvInterfaces::TquvInterfaces(TquvLibraryOptions options) : FOptions(std::move(options)) {}

TquvInterfaces::~TquvInterfaces() = default;

TquvInterfaceLib& TquvInterfaces::InternalGetItem(std::string_view path) {
  std::lock_guard<TCriticalSection> guard(FLock);
  const std::string normalized = NormalizedLibraryPath(path);
  if (normalized.empty()) {
    Fail("Error at TquvInterfaces.InternalGetItem. Could not get item to " + std::string(path));
  }
  for (const auto& lib : FItems)
    if (SameText(lib->Name(), normalized) || lib->FileName() == normalized) return *lib;
  auto lib = std::make_unique<TquvInterfaceLib>(FOptions, this);
  lib->Load(path);
  FItems.push_back(std::move(lib));
  return *FItems.back();
}

TquvInterfaceRef TquvInterfaces::GetInterface(std::string_view dottedName) {
  const std::size_t first = dottedName.find('.');
  if (first == std::string_view::npos || first == dottedName.rfind('.')) FailNotFound(dottedName);
  return InternalGetItem(dottedName.substr(0, first)).GetInterface(dottedName);
}

void TquvInterfaces::FillDefinitions(std::string_view name, TquvSymbolDefs& defs) {
  CopyDefinitions(*GetInterface(name), defs, false);
}

void TquvInterfaces::ReloadLibrary(const std::function<bool()>& reload) {
  std::lock_guard<TCriticalSection> guard(FLock);
  if (reload()) FReloadCount.fetch_add(1);
}

int32_t TquvInterfaces::Count() const {
  std::lock_guard<TCriticalSection> guard(FLock);
  return static_cast<int32_t>(FItems.size());
}

TRegistryState::TRegistryState() {
  GServerEnvironment.store(TBrokerBridge::LoadBesideExecutable().Present());
  SetDefinitionSource(&Source);
}

TRegistryState::~TRegistryState() {
  SetDefinitionSource(nullptr);
  try {
    std::lock_guard<std::mutex> guard(Lock);
    Interfaces.reset();
  } catch (const std::exception& e) {
    OutputDebugString(std::string("Erro liberando lista de interfaces: ") + e.what());
  }
}

std::unique_ptr<TScopePart> MakeInterfaceRegistry() { return gRegistry.Make(); }

TquvInterfaces& GetRegistry() {
  TRegistryState& registry = *gRegistry;
  std::lock_guard<std::mutex> guard(registry.Lock);
  if (!registry.Interfaces) {
    registry.Interfaces = std::make_unique<TquvInterfaces>(
        TquvLibraryOptions{ProgramDataFolder(), false, true});
  }
  return *registry.Interfaces;
}

void InterfaceDefinitions(std::string_view dottedName, TquvSymbolDefs& defs, bool second,
                          uint8_t flag) {
  CopyDefinitions(*GetRegistry().GetInterface(dottedName), defs, second);
  defs.SetFlag(flag);
}

std::shared_ptr<const TquvSymbolDefs> SharedInterfaceDefinitions(std::string_view dottedName,
                                                                 bool second, uint8_t flag) {
  return GetRegistry().GetInterface(dottedName)->SharedDefs(second, flag);
}

}  // namespace quv
