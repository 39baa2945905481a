#include "transfer/transfer_io.h"

#include <windows.h>
#include <winioctl.h>


// ---- the part file -------------------------------------------------------

bool disk_has_room(const std::wstring& path, u64 bytes) {
  std::wstring dir = path.substr(0, path.find_last_of(L"\\/") + 1);
  ULARGE_INTEGER avail, size, free_bytes;
  if (dir.empty() || !GetDiskFreeSpaceExW(dir.c_str(), &avail, &size, &free_bytes)) return true;
  return avail.QuadPart >= bytes;
}

std::string io_error(const char* what) {
  DWORD e = GetLastError();
  if (e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL) return "disk full";
  return what;
}

bool PartFile::open(const std::wstring& path, u64 length, std::string& err) {
  close();
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = io_error("cannot create file");
    return false;
  }
  // Sparse, so a fresh download takes no room for bytes it has not received
  // yet; a file system without sparse files still works, only fuller.
  DWORD ret = 0;
  DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ret, nullptr);
  LARGE_INTEGER at;
  at.QuadPart = LONGLONG(length);
  if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
    err = io_error("cannot create file");
    CloseHandle(h);
    return false;
  }
  h_ = h;
  return true;
}

bool PartFile::write_at(u64 offset, const void* data, size_t n, std::string& err) {
  std::lock_guard<std::mutex> lk(write_mu_);
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    OVERLAPPED ov = {};
    ov.Offset = DWORD(offset);
    ov.OffsetHigh = DWORD(offset >> 32);
    DWORD chunk = DWORD(n > (1u << 30) ? (1u << 30) : n), wrote = 0;
    if (!WriteFile(HANDLE(h_), p, chunk, &wrote, &ov) || wrote == 0) {
      err = io_error("cannot write file");
      return false;
    }
    p += wrote;
    offset += wrote;
    n -= wrote;
  }
  return true;
}

bool PartFile::read_at(u64 offset, void* data, size_t n, std::string& err) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    OVERLAPPED ov = {};
    ov.Offset = DWORD(offset);
    ov.OffsetHigh = DWORD(offset >> 32);
    DWORD chunk = DWORD(n > (1u << 30) ? (1u << 30) : n), got = 0;
    if (!ReadFile(HANDLE(h_), p, chunk, &got, &ov) || got == 0) {
      err = "cannot read file";
      return false;
    }
    p += got;
    offset += got;
    n -= got;
  }
  return true;
}

void PartFile::close() {
  if (h_) CloseHandle(HANDLE(h_));
  h_ = nullptr;
}

bool save_atomic(const std::wstring& path, const std::wstring& tmp, const std::string& body,
                 std::string& err) {
  HANDLE h = CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    err = io_error("cannot write file");
    return false;
  }
  // The bytes reach the disk before the rename does: otherwise a power cut
  // could leave the new name on a file whose bytes were never written.
  DWORD wrote = 0;
  bool ok = WriteFile(h, body.data(), DWORD(body.size()), &wrote, nullptr) && wrote == body.size() &&
            FlushFileBuffers(h);
  if (!ok) err = io_error("cannot write file");
  CloseHandle(h);
  if (ok && !MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    err = io_error("cannot write file");
    ok = false;
  }
  if (!ok) DeleteFileW(tmp.c_str());
  return ok;
}

bool delete_file(const std::wstring& path) {
  return DeleteFileW(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::string read_text(const std::wstring& path) {
  std::string text;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return text;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0 && text.size() < (64u << 20))
    text.append(buf, got);
  CloseHandle(h);
  return text;
}
