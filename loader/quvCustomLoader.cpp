#include "loader/quvCustomLoader.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

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
constexpr const char* kFileLockPrefix = "DMUPD_";
constexpr const char* kDependencyLock = "DMUPD_DEPS";
constexpr const char* kCacheFolder = "_updcache";
constexpr const char* kNewFolder = "_new";
constexpr std::string_view kDescriptorExtension = ".upd";
constexpr const char* kVersionFile = "_version.ini";
// A file received into "_new" starts with "QUVR", the checksum and the low
// 32 bits of the age its descriptor promised, so that a later update can
// tell whether it is the same version.
constexpr char kReceivedSignature[4] = {'Q', 'U', 'V', 'R'};
constexpr std::size_t kReceivedHeaderSize = 12;
constexpr auto kProgramMode = static_cast<std::filesystem::perms>(0755);

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

// The contents of a complete earlier receipt of the same version, or "".
std::string ReusableReceipt(const std::string& newName, const TUpdateDescriptor& descriptor) {
  if (descriptor.CheckSum() == 0 || !FileExists(newName)) return "";
  std::string earlier = ReadWholeFile(newName);
  if (earlier.compare(0, kReceivedHeaderSize, ReceivedHeader(descriptor)) != 0) return "";
  earlier.erase(0, kReceivedHeaderSize);
  return Crc32(earlier) == descriptor.CheckSum() ? earlier : "";
}

std::string Applied(const std::string& oldName, const std::string& difference) {
  try {
    TFileStream old(oldName, TFileMode::OpenRead);
    TViewStream diff(difference);
    TMemoryStream output;
    ApplyDifference(old, diff, output);
    const TByteView bytes = output.Bytes();
    return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  } catch (const Exception& e) {
    throw ELoaderError("Erro processando diff:" + std::string(e.what()));
  }
}

void InstallFont(const std::string& fileName) {
  const std::string folder = UserDataFolder() + "/fonts";
  ForceFolder(folder);
  ReplaceFile(folder + "/" + ExtractFileName(fileName), ReadWholeFile(fileName));
}

}  // namespace

std::string CachedDescriptorName(const std::string& folder, const std::string& remoteName) {
  return folder + "/" + kCacheFolder + "/" + FlattenedName(remoteName) +
         std::string(kDescriptorExtension);
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
  const std::string target = PathInFolder(localFolder, localName);
  UpdateStarting(target);
  TUpdateDescriptor descriptor;
  const bool fetched = FetchUnderLock(localFolder, remoteName, target, descriptor);
  if (fetched) ActOnFlags({remoteName, target, descriptor});
  OutputDebugString("Module loaded " + target + " (" +
                    std::to_string((Clock().Nanoseconds() - started) / 1000000) + " ms)");
  UpdateFinished(target, fetched);
  return target;
}

std::vector<std::string> TCustomLoader::RequestFiles(const std::vector<std::string>&) {
  throw ELoaderError("Not supported");
}

bool TCustomLoader::FetchUnderLock(const std::string& folder, const std::string& remoteName,
                                   const std::string& target, TUpdateDescriptor& descriptor) {
  CheckCancelled();
  // Dependencies first, outside this file's lock, so that two files that
  // depend on each other cannot hold each other's locks.
  std::vector<std::string> dependencies;
  if (const TUpdateDescriptor first = ServerDescriptor(folder, remoteName); first.Exists())
    for (const std::string& name : first.HardDependencies())
      if (PathInFolder(folder, name) != target) dependencies.push_back(name);
  if (!dependencies.empty()) LoadDependencies(folder, dependencies);
  const TNamedLockScope lock(kFileLockPrefix + FlattenedName(target), kFileLockWaitMs,
                             "Error waiting for file update of " + target);
  descriptor = ServerDescriptor(folder, remoteName);
  return Fetch(folder, {remoteName, target, descriptor});
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
    const TNamedLockScope fileLock(kFileLockPrefix + FlattenedName(target), kFileLockWaitMs,
                                   "Error waiting for file update of " + target);
    Fetch(folder, {name, target, ServerDescriptor(folder, name)});
  }
  OutputDebugString("finished loading upds");
}

bool TCustomLoader::Fetch(const std::string& folder, const TRemoteFileDef& file) {
  CheckCancelled();
  const TOutOfDate state = CheckOutOfDate(file);
  if (state.OutOfDate) Install(file, state.OldChecksum);
  if (file.Descriptor.Flag("IsPack") && (state.OutOfDate || file.Descriptor.UnzipPackPending()))
    Unpack(folder, file);
  if (state.OutOfDate && file.Descriptor.Flag("IsFont")) InstallFont(file.LocalName);
  return state.OutOfDate;
}

void TCustomLoader::EnsureGlobalVersion(const std::string& folder) {
  std::call_once(FGlobalVersionRead, [&] {
    const std::string versionFile = folder + "/" + kVersionFile;
    try {
      ReplaceFile(versionFile, ReceiveWhole(kVersionFile, versionFile));
    } catch (const ERemoteFileError&) {
      // A server without a global version: the local copy, if any, stays.
    }
    FGlobalVersion = TIniFile(versionFile).ReadString("Attributes", "GlobalVersion", "");
  });
}

TUpdateDescriptor TCustomLoader::ServerDescriptor(const std::string& folder,
                                                  const std::string& remoteName) {
  EnsureGlobalVersion(folder);
  const std::string cached = CachedDescriptorName(folder, remoteName);
  if (FileExists(cached)) {
    TUpdateDescriptor descriptor = TUpdateDescriptor::FromFile(cached);
    if (descriptor.GlobalVersion() == FGlobalVersion) return descriptor;
  }
  TUpdateDescriptor fresh;
  try {
    fresh = TUpdateDescriptor(ReceiveWhole(remoteName + std::string(kDescriptorExtension), cached));
  } catch (const ERemoteFileError&) {
    // No descriptor on the server: the file is fetched when missing only.
  }
  if (fresh.GlobalVersion().empty()) fresh.SetAttribute("GlobalVersion", FGlobalVersion);
  ForceFolder(ExtractFileDir(cached));
  ReplaceFile(cached, fresh.Text());
  return fresh;
}

TCustomLoader::TOutOfDate TCustomLoader::CheckOutOfDate(const TRemoteFileDef& file) {
  if (!FileExists(file.LocalName)) return {file.Descriptor.Exists(), 0};
  const uint32_t oldChecksum =
      TUpdateDescriptor::FromFile(file.LocalName + std::string(kDescriptorExtension)).CheckSum();
  const int64_t newAge = file.Descriptor.Age();
  return {
      file.Descriptor.CheckSum() != oldChecksum && newAge != 0 && newAge != FileAge(file.LocalName),
      oldChecksum};
}

void TCustomLoader::Install(const TRemoteFileDef& file, uint32_t oldChecksum) {
  const bool hadFile = FileExists(file.LocalName);
  const std::string diffName = hadFile ? file.Descriptor.DiffFile(oldChecksum) : "";
  std::string content =
      Receive(diffName.empty() ? file.Descriptor.SourceFor(OperatingSystemName(), file.RemoteName)
                               : diffName,
              file);
  // A difference asked for is applied whatever its header says: the applier
  // refuses one that does not lead to the new file it was made for.
  if (!diffName.empty() || (hadFile && IsDifferenceFor(content, oldChecksum)))
    content = Applied(file.LocalName, content);
  ReplaceFile(file.LocalName, content);
  if (file.Descriptor.Age() != 0) SetFileAge(file.LocalName, file.Descriptor.Age());
  ReplaceFile(file.LocalName + std::string(kDescriptorExtension), file.Descriptor.Text());
  std::remove(NewFileName(file.LocalName).c_str());
}

std::string TCustomLoader::Receive(const std::string& remoteName, const TRemoteFileDef& file) {
  const std::string newName = NewFileName(file.LocalName);
  if (std::string earlier = ReusableReceipt(newName, file.Descriptor); !earlier.empty())
    return earlier;
  ForceFolder(ExtractFileDir(newName));
  {
    TFileStream received(newName, TFileMode::Create);
    const std::string header = ReceivedHeader(file.Descriptor);
    received.WriteBuffer(header.data(), static_cast<int32_t>(header.size()));
    GetFile(remoteName, file.LocalName, 0, received);
  }
  std::string content = ReadWholeFile(newName);
  content.erase(0, kReceivedHeaderSize);
  FileReceived(remoteName, static_cast<int64_t>(content.size()));
  return content;
}

std::string TCustomLoader::ReceiveWhole(const std::string& remoteName,
                                        const std::string& localName) {
  TMemoryStream stream;
  GetFile(remoteName, localName, 0, stream);
  const TByteView bytes = stream.Bytes();
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void TCustomLoader::Unpack(const std::string& folder, const TRemoteFileDef& file) {
  const std::string cached = CachedDescriptorName(folder, file.RemoteName);
  TUpdateDescriptor marked = file.Descriptor;
  marked.SetAttribute("UnzipPackPending", "1");
  ReplaceFile(cached, marked.Text());
  UnpackArchive(file.LocalName, folder);
  marked.RemoveAttribute("UnzipPackPending");
  ReplaceFile(cached, marked.Text());
}

void TCustomLoader::ActOnFlags(const TRemoteFileDef& file) {
  if (file.Descriptor.Flag("IsCOMObj")) {
    if (file.Descriptor.Flag("RegisterWithProgram"))
      RegisterComponentWithProgram(RegistrationProgramPath(), file.LocalName);
    else
      RegisterComponentInProcess(file.LocalName);
  }
  if (file.Descriptor.Flag("ExecWhenUpd") && FileExists(file.LocalName)) {
    // Received files carry no mode; one that is to run must be executable.
    std::error_code ignored;
    std::filesystem::permissions(file.LocalName, kProgramMode, ignored);
    RunProgram(file.LocalName, {});
  }
}

void TCustomLoader::CheckCancelled() const {
  if (FCancelled.load()) throw ELoaderError(std::string("Carga de módulo cancelada."_cp));
}

}  // namespace quv
