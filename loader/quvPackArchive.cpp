#include "loader/quvPackArchive.h"

#include <zip.h>

#include <memory>
#include <vector>

#include "loader/quvLoaderError.h"
#include "loader/quvLoaderFiles.h"
#include "platform/Cp1252.h"

namespace quv {

namespace {

// Unix hosts keep the file mode in the upper half of the external attributes;
// its type bits say 0120000 for a symbolic link.
constexpr uint32_t kModeShift = 16;
constexpr uint32_t kFileTypeBits = 0170000;
constexpr uint32_t kSymbolicLinkType = 0120000;
constexpr uint32_t kRegularFileType = 0100000;
// Only permission bits come from an archive: never set-user-id and the like.
constexpr uint32_t kPermissionBits = 0777;

struct TZipCloser {
  void operator()(zip_t* archive) const { zip_discard(archive); }
};
struct TZipFileCloser {
  void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using TZip = std::unique_ptr<zip_t, TZipCloser>;

[[noreturn]] void RaiseArchiveError(const std::string& archive, const std::string& reason) {
  throw ELoaderError("Erro descompactando " + archive + ": " + reason);
}

TZip OpenArchive(const std::string& archive) {
  int code = 0;
  TZip zip(zip_open(archive.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &code));
  if (!zip) {
    zip_error_t error;
    zip_error_init_with_code(&error, code);
    const std::string reason = zip_error_strerror(&error);
    zip_error_fini(&error);
    RaiseArchiveError(archive, reason);
  }
  return zip;
}

bool IsSymbolicLink(zip_t* zip, zip_uint64_t index) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(zip, index, 0, &system, &attributes) != 0) return false;
  return system == ZIP_OPSYS_UNIX &&
         ((attributes >> kModeShift) & kFileTypeBits) == kSymbolicLinkType;
}

// The mode a Unix host stored for a regular file, or the default one.
uint32_t EntryMode(zip_t* zip, zip_uint64_t index) {
  zip_uint8_t system = 0;
  zip_uint32_t attributes = 0;
  if (zip_file_get_external_attributes(zip, index, 0, &system, &attributes) != 0 ||
      system != ZIP_OPSYS_UNIX)
    return kNewFileMode;
  const uint32_t mode = attributes >> kModeShift;
  const uint32_t type = mode & kFileTypeBits;
  if ((type != 0 && type != kRegularFileType) || (mode & kPermissionBits) == 0) return kNewFileMode;
  return mode & kPermissionBits;
}

struct TEntry {
  zip_uint64_t Index;
  std::string Path;  // inside the folder
  bool Folder;
  uint32_t Mode;  // when the file is new
};

// Every entry with its checked place; raises before anything is written.
std::vector<TEntry> CheckedEntries(zip_t* zip, const std::string& archive,
                                   const std::string& folder) {
  std::vector<TEntry> entries;
  const zip_int64_t count = zip_get_num_entries(zip, 0);
  for (zip_int64_t i = 0; i < count; ++i) {
    const auto index = static_cast<zip_uint64_t>(i);
    const char* name = zip_get_name(zip, index, ZIP_FL_ENC_RAW);
    if (name == nullptr) RaiseArchiveError(archive, zip_strerror(zip));
    if (IsSymbolicLink(zip, index))
      RaiseArchiveError(archive, std::string("link simbólico recusado: "_cp) + name);
    std::string entry(name);
    const bool isFolder = !entry.empty() && (entry.back() == '/' || entry.back() == '\\');
    if (isFolder) entry.pop_back();
    entries.push_back({index, PathInFolder(folder, entry), isFolder, EntryMode(zip, index)});
  }
  return entries;
}

// Copies the entry to `target` in pieces, so that no declared size, and no
// entry larger than memory, decides what is held at once.
bool CopyEntry(zip_t* zip, const TEntry& entry, THandle target, std::string& failure) {
  std::unique_ptr<zip_file_t, TZipFileCloser> file(zip_fopen_index(zip, entry.Index, 0));
  if (!file) {
    failure = zip_strerror(zip);
    return false;
  }
  char buffer[65536];
  for (;;) {
    const zip_int64_t got = zip_fread(file.get(), buffer, sizeof buffer);
    if (got < 0) failure = zip_file_strerror(file.get());
    if (got <= 0) return got == 0;
    if (!WriteAll(target, std::string_view(buffer, static_cast<std::size_t>(got)))) return false;
  }
}

}  // namespace

void UnpackArchive(const std::string& archive, const std::string& folder) {
  const TZip zip = OpenArchive(archive);
  for (const TEntry& entry : CheckedEntries(zip.get(), archive, folder)) {
    if (entry.Folder) {
      ForceFolder(entry.Path);
      continue;
    }
    ForceFolder(entry.Path.substr(0, entry.Path.rfind('/')));
    std::string failure;
    try {
      ReplaceFileWith(
          entry.Path, [&](THandle target) { return CopyEntry(zip.get(), entry, target, failure); },
          entry.Mode);
    } catch (const ELoaderError&) {
      if (!failure.empty()) RaiseArchiveError(archive, failure);  // the archive is damaged
      throw;
    }
  }
}

}  // namespace quv
