#include "loader/quvCustomLoader.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>

#include "loader/quvDiff.h"
#include "loader/quvLoaderError.h"
#include "loader/quvLoaderFiles.h"
#include "loader/quvLoaderPrograms.h"
#include "loader/quvPackArchive.h"
#include "platform/Clock.h"
#include "platform/Cp1252.h"
#include "platform/DebugOutput.h"
#include "platform/ExePath.h"
#include "platform/LittleEndian.h"
#include "platform/NamedMutex.h"
#include "platform/Process.h"
#include "platform/SystemInfo.h"
#include "platform/UserFolders.h"
#include "server/common/quvViewStream.h"
#include "transport/quvpack.h"

namespace quv {

namespace {

constexpr uint32_t kFileLockWaitMs = 300000;
constexpr uint32_t kDependencyLockWaitMs = 600000;
constexpr const char* kDependencyLock = "DMUPD_DEPS";
constexpr const char* kCacheFolder = "_updcache";
constexpr const char* kNewFolder = "_new";
constexpr std::string_view kDescriptorExtension = ".upd";
constexpr const char* kVersionFile = "_version.ini";
constexpr const char* kRegisterPending = "RegisterPending";
constexpr const char* kUnzipPackPending = "UnzipPackPending";
// A file received into "_new" starts with "QUVR", the checksum and the low
// 32 bits of the age its descriptor promised, so that a later update can
// tell whether it is the same version.
constexpr char kReceivedSignature[4] = {'Q', 'U', 'V', 'R'};
constexpr std::size_t kReceivedHeaderSize = 12;

// Holds a named lock for a scope; `failure` is raised when the wait ends
// without it.
class TNamedLockScope final {
 public:
  TNamedLockScope(const std::string& name, uint32_t waitMs, const std::string& failure)
      : FMutex(name) {
    if (!FMutex.WaitFor(waitMs)) throw ELoaderError(failure);
  }
  ~TNamedLockScope() { FMutex.Release(); }
  TNamedLockScope(const TNamedLockScope&) = delete;
  TNamedLockScope& operator=(const TNamedLockScope&) = delete;

 private:
  TNamedMutex FMutex;
};

// What was received does not carry the checksum its descriptor promised.
struct EChecksumMismatch {
  std::string ReceivedName;
  uint32_t Expected;
  uint32_t Actual;
  bool Whole;  // the file itself, not a difference

  std::string Message() const {
    return "O arquivo " + ReceivedName +
           std::string(" recebido do servidor não confere com seu descritor (CheckSum "_cp) +
           std::to_string(Expected) + ", recebido " + std::to_string(Actual) +
           "); o arquivo local foi mantido.";
  }
};

bool EndsWithText(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         SameTextAscii(text.substr(text.size() - suffix.size()), std::string(suffix));
}

std::string ReceivedHeader(const TUpdateDescriptor& descriptor) {
  uint8_t header[kReceivedHeaderSize];
  std::copy(std::begin(kReceivedSignature), std::end(kReceivedSignature), header);
  PutLittleEndian(header + 4, descriptor.CheckSum(), 4);
  PutLittleEndian(header + 8, static_cast<uint64_t>(descriptor.Age()), 4);
  return std::string(reinterpret_cast<const char*>(header), kReceivedHeaderSize);
}

std::string NewFileName(const std::string& localName) {
  return ExtractFileDir(localName) + "/" + kNewFolder + "/" + ExtractFileName(localName);
}

// The first `count` bytes of `fileName` from `offset`, fewer at its end.
std::string FileStart(const std::string& fileName, int64_t offset, int32_t count) {
  TFileStream in(fileName, TFileMode::OpenRead);
  in.SetPosition(offset);
  std::string bytes(static_cast<std::size_t>(count), '\0');
  bytes.resize(static_cast<std::size_t>(std::max(in.Read(bytes.data(), count), 0)));
  return bytes;
}

// Whether "_new" holds a complete earlier receipt of the same version.
bool ReusableReceipt(const std::string& newName, const TUpdateDescriptor& descriptor) {
  if (descriptor.CheckSum() == 0 || !FileExists(newName)) return false;
  try {
    return FileStart(newName, 0, kReceivedHeaderSize) == ReceivedHeader(descriptor) &&
           FileCrc32(newName, kReceivedHeaderSize) == descriptor.CheckSum();
  } catch (const Exception&) {
    return false;
  }
}

// Marks the receipt `newName` as one of the version `descriptor` describes.
void MarkReceipt(const std::string& newName, const TUpdateDescriptor& descriptor) {
  TFileStream receipt(newName, TFileMode::OpenWrite);
  const std::string header = ReceivedHeader(descriptor);
  receipt.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
}

// Whether the descriptor states a checksum to hold a received file to.
bool HasCheckSum(const TUpdateDescriptor& descriptor) {
  return !descriptor.Attribute("CheckSum").empty();
}

// A new file's mode: the descriptor's, else that of a program or a plain file.
uint32_t NewFileModeOf(const TUpdateDescriptor& descriptor) {
  if (const std::optional<uint32_t> mode = descriptor.Mode()) return *mode;
  return descriptor.Flag("ExecWhenUpd") ? kNewProgramMode : kNewFileMode;
}

// A descriptor read from the disk; none when it is missing or cannot be read
// (an earlier version kept descriptors of any size).
std::optional<TUpdateDescriptor> ReadDescriptor(const std::string& fileName) {
  if (!FileExists(fileName)) return std::nullopt;
  try {
    return TUpdateDescriptor::FromFile(fileName);
  } catch (const EFileError&) {
    return std::nullopt;
  }
}

TUpdateDescriptor ReadDescriptorOrEmpty(const std::string& fileName) {
  return ReadDescriptor(fileName).value_or(TUpdateDescriptor());
}

// The executable bits beside each read bit, when the owner may not run `fileName`.
void MakeRunnable(const std::string& fileName) {
  namespace fs = std::filesystem;
  std::error_code ignored;
  const fs::perms mode = fs::status(fileName, ignored).permissions();
  if ((mode & fs::perms::owner_exec) != fs::perms::none) return;
  const auto bits = static_cast<unsigned>(mode) & 0777u;
  fs::permissions(fileName, static_cast<fs::perms>(bits | ((bits & 0444u) >> 2) | 0100u), ignored);
}

void InstallFont(const std::string& fileName) {
  const std::string folder = UserDataFolder() + "/fonts";
  ForceFolder(folder);
  ReplaceFileFrom(folder + "/" + ExtractFileName(fileName), fileName, 0);
}

// Raises ELoaderError naming `folder` when it is not a folder.
void CheckProgramFolder(const std::string& folder) {
  std::error_code ignored;
  if (!std::filesystem::is_directory(folder, ignored))
    throw ELoaderError(std::string("Pasta do programa não encontrada: "_cp) + folder);
}

}  // namespace

std::string CachedDescriptorName(const std::string& folder, const std::string& remoteName) {
  return folder + "/" + kCacheFolder + "/" + CacheFileName(remoteName);
}

std::string TCustomLoader::OperatingSystemName() {
  return SystemName() == "Linux" ? "LINUX" : "UNKNOWN";
}

std::string TCustomLoader::Update(const std::string& localFolder, const std::string& remoteName) {
  return Update(localFolder, remoteName, remoteName);
}

std::string TCustomLoader::Update(const std::string& localFolder, const std::string& remoteName,
                                  const std::string& localName) {
  const int64_t started = Clock().Nanoseconds();
  const bool descriptorOnly = EndsWithText(remoteName, kDescriptorExtension);
  const std::string described =
      remoteName.substr(0, remoteName.size() - (descriptorOnly ? kDescriptorExtension.size() : 0));
  const std::string target = descriptorOnly ? CachedDescriptorName(localFolder, described)
                                            : PathInFolder(localFolder, localName);
  UpdateStarting(target);
  TUpdateOutcome outcome = TUpdateOutcome::Current;
  try {
    CheckProgramFolder(localFolder);
    CheckCancelled();
    if (descriptorOnly)
      ServerDescriptor(localFolder, described);
    else if (UpdateUnderLock(localFolder, remoteName, target))
      outcome = TUpdateOutcome::Fetched;
  } catch (...) {
    FCancelled.store(false);
    UpdateFinished(target, TUpdateOutcome::Failed);
    throw;
  }
  FCancelled.store(false);
  OutputDebugString("Module loaded " + target + " (" +
                    std::to_string((Clock().Nanoseconds() - started) / 1000000) + " ms)");
  UpdateFinished(target, outcome);
  return target;
}

std::vector<std::string> TCustomLoader::RequestFiles(const std::vector<std::string>&) {
  throw ELoaderError("Not supported");
}

bool TCustomLoader::UpdateUnderLock(const std::string& folder, const std::string& remoteName,
                                    const std::string& target) {
  // Dependencies first, outside this file's lock, so that two files that
  // depend on each other cannot hold each other's locks.
  std::vector<std::string> dependencies;
  if (const TUpdateDescriptor first = ServerDescriptor(folder, remoteName); first.Exists())
    for (const std::string& name : first.HardDependencies())
      if (EndsWithText(name, kDescriptorExtension) || PathInFolder(folder, name) != target)
        dependencies.push_back(name);
  if (!dependencies.empty()) LoadDependencies(folder, dependencies);
  const TNamedLockScope lock(FileLockName(target), kFileLockWaitMs,
                             "Error waiting for file update of " + target);
  return Fetch(folder, remoteName, target);
}

void TCustomLoader::LoadDependencies(const std::string& folder,
                                     const std::vector<std::string>& names) {
  const TNamedLockScope lock(kDependencyLock, kDependencyLockWaitMs,
                             "Error waiting for file update of " + std::string(kDependencyLock));
  OutputDebugString("loading upds");
  for (const std::string& name : names) {
    CheckCancelled();
    if (EndsWithText(name, kDescriptorExtension)) {
      ServerDescriptor(folder, name.substr(0, name.size() - kDescriptorExtension.size()));
      continue;
    }
    const std::string target = PathInFolder(folder, name);
    const TNamedLockScope fileLock(FileLockName(target), kFileLockWaitMs,
                                   "Error waiting for file update of " + target);
    Fetch(folder, name, target);
  }
  OutputDebugString("finished loading upds");
}

// Under the file's lock: the out-of-date check, the transfer, the unpack and
// the flags, all with the descriptor read under it.
bool TCustomLoader::Fetch(const std::string& folder, const std::string& remoteName,
                          const std::string& target) {
  CheckCancelled();
  TRemoteFileDef file{remoteName, target, ServerDescriptor(folder, remoteName)};
  const bool installed = InstallChecked(folder, file);
  if (file.Descriptor.Flag("IsPack") && (installed || file.Descriptor.UnzipPackPending()))
    Unpack(folder, file);
  if (installed && file.Descriptor.Flag("IsFont")) InstallFont(file.LocalName);
  ActOnFlags(file, installed);
  return installed;
}

// Installs the file when it is out of date. What is received must carry the
// descriptor's checksum; when it does not, the descriptor is read again once
// (the file may have changed on the server since), and a second mismatch
// fails with the old file kept.
bool TCustomLoader::InstallChecked(const std::string& folder, TRemoteFileDef& file) {
  const std::string newName = NewFileName(file.LocalName);
  for (int attempt = 0;; ++attempt) {
    const TOutOfDate state = CheckOutOfDate(file);
    if (!state.OutOfDate) {
      if (attempt > 0) std::remove(newName.c_str());
      return false;
    }
    try {
      Install(file, state.OldChecksum);
      return true;
    } catch (const EChecksumMismatch& mismatch) {
      if (attempt > 0) {
        std::remove(newName.c_str());
        throw ELoaderError(mismatch.Message());
      }
      file.Descriptor = ServerDescriptor(folder, file.RemoteName, true);
      // A whole file that the fresh descriptor describes is taken as received.
      if (mismatch.Whole && HasCheckSum(file.Descriptor) &&
          file.Descriptor.CheckSum() == mismatch.Actual)
        MarkReceipt(newName, file.Descriptor);
      else
        std::remove(newName.c_str());
    }
  }
}

void TCustomLoader::EnsureGlobalVersion(const std::string& folder) {
  std::call_once(FGlobalVersionRead, [&] {
    const std::string versionFile = folder + "/" + kVersionFile;
    try {
      ReplaceFile(versionFile, ReceiveWhole(kVersionFile, versionFile, kMaxDescriptorBytes));
    } catch (const ERemoteFileError&) {
      // A server without a global version: the local copy, if any, stays.
    }
    FGlobalVersion = TIniFile(versionFile).ReadString("Attributes", "GlobalVersion", "");
  });
}

TUpdateDescriptor TCustomLoader::ServerDescriptor(const std::string& folder,
                                                  const std::string& remoteName, bool refresh) {
  EnsureGlobalVersion(folder);
  const std::string cached = CachedDescriptorName(folder, remoteName);
  const std::optional<TUpdateDescriptor> earlier = ReadDescriptor(cached);
  if (!refresh && earlier && earlier->GlobalVersion() == FGlobalVersion) return *earlier;
  TUpdateDescriptor fresh;
  try {
    fresh = TUpdateDescriptor(
        ReceiveWhole(remoteName + std::string(kDescriptorExtension), cached, kMaxDescriptorBytes));
  } catch (const ERemoteFileError&) {
    // No descriptor on the server: the file is fetched when missing only.
  }
  if (fresh.GlobalVersion().empty()) fresh.SetAttribute("GlobalVersion", FGlobalVersion);
  // An unpack that an earlier copy marked as interrupted is still due.
  if (earlier && earlier->UnzipPackPending() && !fresh.UnzipPackPending())
    fresh.SetAttribute(kUnzipPackPending, "1");
  ForceFolder(ExtractFileDir(cached));
  ReplaceFile(cached, fresh.Text());
  return fresh;
}

TCustomLoader::TOutOfDate TCustomLoader::CheckOutOfDate(const TRemoteFileDef& file) {
  if (!FileExists(file.LocalName)) return {file.Descriptor.Exists(), 0};
  const uint32_t oldChecksum =
      ReadDescriptorOrEmpty(file.LocalName + std::string(kDescriptorExtension)).CheckSum();
  const int64_t newAge = file.Descriptor.Age();
  return {
      file.Descriptor.CheckSum() != oldChecksum && newAge != 0 && newAge != FileAge(file.LocalName),
      oldChecksum};
}

void TCustomLoader::Install(const TRemoteFileDef& file, uint32_t oldChecksum) {
  const TUpdateDescriptor& descriptor = file.Descriptor;
  const bool hadFile = FileExists(file.LocalName);
  const std::string diffName = hadFile ? descriptor.DiffFile(oldChecksum) : "";
  const std::string source =
      diffName.empty() ? descriptor.SourceFor(OperatingSystemName(), file.RemoteName) : diffName;
  const std::string received = Receive(source, file);
  const std::string start = FileStart(received, kReceivedHeaderSize, kDiffHeaderSize);
  // The descriptor's CheckSum is that of the file itself: one fetched from a
  // "source" entry of its own has none to be held to.
  const bool checked =
      HasCheckSum(descriptor) &&
      descriptor.SourceFor(OperatingSystemName(), file.RemoteName) == file.RemoteName;
  // A difference asked for is applied whatever its header says: the applier
  // refuses one that does not lead to the new file it was made for.
  if (!diffName.empty() || (hadFile && IsDifferenceFor(start, oldChecksum))) {
    const std::optional<uint32_t> leadsTo = DifferenceTarget(start);
    if (checked && leadsTo && *leadsTo != descriptor.CheckSum())
      throw EChecksumMismatch{source, descriptor.CheckSum(), *leadsTo, false};
    ReplaceFileWith(file.LocalName, [&](THandle target) {
      try {
        TFileStream old(file.LocalName, TFileMode::OpenRead);
        TFileStream difference(received, TFileMode::OpenRead);
        difference.SetPosition(kReceivedHeaderSize);
        THandleStream output(target);
        ApplyDifference(old, difference, output);
      } catch (const Exception& e) {
        throw ELoaderError("Erro processando diff:" + std::string(e.what()));
      }
      return true;
    });
  } else {
    if (checked) {
      const uint32_t actual = FileCrc32(received, kReceivedHeaderSize);
      if (actual != descriptor.CheckSum())
        throw EChecksumMismatch{source, descriptor.CheckSum(), actual, true};
    }
    ReplaceFileFrom(file.LocalName, received, kReceivedHeaderSize, NewFileModeOf(descriptor));
  }
  if (descriptor.Age() != 0) SetFileAge(file.LocalName, descriptor.Age());
  // The local descriptor: the version installed, and whether it is still to
  // be registered.
  TUpdateDescriptor installed = descriptor;
  if (!installed.Attribute(kUnzipPackPending).empty()) installed.RemoveAttribute(kUnzipPackPending);
  if (descriptor.Flag("IsCOMObj")) installed.SetAttribute(kRegisterPending, "1");
  ReplaceFile(file.LocalName + std::string(kDescriptorExtension), installed.Text());
  std::remove(received.c_str());
}

std::string TCustomLoader::Receive(const std::string& remoteName, const TRemoteFileDef& file) {
  const std::string newName = NewFileName(file.LocalName);
  if (ReusableReceipt(newName, file.Descriptor)) return newName;
  ForceFolder(ExtractFileDir(newName));
  int64_t bytes = 0;
  {
    TFileStream received(newName, TFileMode::Create);
    const std::string header = ReceivedHeader(file.Descriptor);
    received.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
    GetFile(remoteName, file.LocalName, 0, received, kMaxStreamedBytes);
    bytes = received.Size() - static_cast<int64_t>(kReceivedHeaderSize);
  }
  FileReceived(remoteName, bytes);
  return newName;
}

std::string TCustomLoader::ReceiveWhole(const std::string& remoteName, const std::string& localName,
                                        int64_t maxBytes) {
  TMemoryStream stream;
  GetFile(remoteName, localName, 0, stream, maxBytes);
  const TByteView bytes = stream.Bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void TCustomLoader::Unpack(const std::string& folder, const TRemoteFileDef& file) {
  const std::string cached = CachedDescriptorName(folder, file.RemoteName);
  TUpdateDescriptor marked = file.Descriptor;
  marked.SetAttribute(kUnzipPackPending, "1");
  ForceFolder(ExtractFileDir(cached));
  ReplaceFile(cached, marked.Text());
  UnpackArchive(file.LocalName, folder);
  marked.RemoveAttribute(kUnzipPackPending);
  ReplaceFile(cached, marked.Text());
}

void TCustomLoader::ActOnFlags(const TRemoteFileDef& file, bool installed) {
  if (file.Descriptor.Flag("IsCOMObj") && FileExists(file.LocalName)) {
    // Registration pending since the install (or since a failed attempt).
    const std::string localDescriptor = file.LocalName + std::string(kDescriptorExtension);
    TUpdateDescriptor local = ReadDescriptorOrEmpty(localDescriptor);
    if (local.Flag(kRegisterPending)) {
      if (file.Descriptor.Flag("RegisterWithProgram"))
        RegisterComponentWithProgram(RegistrationProgramPath(), file.LocalName);
      else
        RegisterComponentInProcess(file.LocalName);
      local.RemoveAttribute(kRegisterPending);
      ReplaceFile(localDescriptor, local.Text());
    }
  }
  if (installed && file.Descriptor.Flag("ExecWhenUpd") && FileExists(file.LocalName)) {
    MakeRunnable(file.LocalName);
    RunProgram(file.LocalName, {});
  }
}

void TCustomLoader::CheckCancelled() const {
  if (FCancelled.load()) throw ELoaderError(std::string("Carga de módulo cancelada."_cp));
}

}  // namespace quv
