// The textfile collector's Windows part: a folder's *.prom files, each opened so that a script
// writing, replacing or deleting it is never blocked, read in one pass and closed at once.
#include "textfile_win32.h"

#include <windows.h>

#include <algorithm>
#include <memory>

#include "names.h"
#include "textfile_collector.h"

namespace textfile {
namespace {

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

struct FindCloser {
  void operator()(HANDLE h) const { FindClose(h); }
};
using Find = std::unique_ptr<void, FindCloser>;

std::string utf8(std::wstring_view text) {
  std::string out;
  winperf_names::append_utf8(
      std::u16string_view(reinterpret_cast<const char16_t *>(text.data()), text.size()), out);
  return out;
}

// The system's words for an error, in one line, with its number.
std::string reason(DWORD code) {
  wchar_t *text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  std::wstring words = n > 0 ? std::wstring(text, n) : L"";
  if (text != nullptr) LocalFree(text);
  while (!words.empty() &&
         (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ')) {
    words.pop_back();
  }
  return (words.empty() ? "error" : utf8(words)) + " (error " + std::to_string(code) + ")";
}

bool is_prom(std::wstring_view name) {
  constexpr std::wstring_view kSuffix = L".prom";
  if (name.size() <= kSuffix.size()) return false;
  return CompareStringOrdinal(name.data() + name.size() - kSuffix.size(),
                              static_cast<int>(kSuffix.size()), kSuffix.data(),
                              static_cast<int>(kSuffix.size()), TRUE) == CSTR_EQUAL;
}

// FILETIME (100 ns since 1601) as Unix seconds.
double unix_seconds(const FILETIME &t) {
  const ULONGLONG ticks = (ULONGLONG{t.dwHighDateTime} << 32) | t.dwLowDateTime;
  constexpr ULONGLONG kUnixEpoch = 116444736000000000ull;
  return ticks < kUnixEpoch ? 0.0 : static_cast<double>(ticks - kUnixEpoch) / 1e7;
}

FileContent read_file(const std::wstring &path, std::string name, size_t max_bytes) {
  FileContent file{std::move(name), true, {}, 0, {}};
  const Handle h(CreateFileW(
      path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (h.get() == INVALID_HANDLE_VALUE) {
    file.ok = false;
    file.error = "cannot open: " + reason(GetLastError());
    return file;
  }
  FILETIME written{};
  if (GetFileTime(h.get(), nullptr, nullptr, &written)) file.mtime = unix_seconds(written);
  char buf[65536];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) {
      file.ok = false;
      file.error = "cannot read: " + reason(GetLastError());
      return file;
    }
    if (n == 0) break;
    file.bytes.append(buf, n);
    if (file.bytes.size() > max_bytes) break;  // the collector says it is too large
  }
  return file;
}

}  // namespace

Folder read_folder(const std::string &folder, size_t max_bytes) {
  const std::wstring dir = winperf_names::widen(folder);
  const bool separated = !dir.empty() && (dir.back() == L'\\' || dir.back() == L'/');
  const std::wstring base = separated ? dir : dir + L"\\";
  WIN32_FIND_DATAW entry{};
  const Find find(FindFirstFileExW((base + L"*").c_str(), FindExInfoBasic, &entry,
                                   FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (find.get() == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    // Nothing at all matched: a drive's empty root, which is still a folder.
    const DWORD attributes = GetFileAttributesW(dir.c_str());
    if (code == ERROR_FILE_NOT_FOUND && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return {};
    }
    return {false, reason(code), {}};
  }
  std::vector<std::wstring> names;
  do {
    if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && is_prom(entry.cFileName)) {
      names.emplace_back(entry.cFileName);
    }
  } while (FindNextFileW(find.get(), &entry));
  if (const DWORD code = GetLastError(); code != ERROR_NO_MORE_FILES)
    return {false, reason(code), {}};
  // Path order: names compared as Windows compares them, without regard to case.
  std::sort(names.begin(), names.end(), [](const std::wstring &a, const std::wstring &b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
  });
  Folder out;
  for (const std::wstring &name : names)
    out.files.push_back(read_file(base + name, utf8(name), max_bytes));
  return out;
}

}  // namespace textfile
