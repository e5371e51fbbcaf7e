#include "messages/setup_log.h"

#include <cstdio>

#include "messages/builtin_catalogue.h"

namespace messages {

namespace {

/// Digits of `value`, at least `width` of them.
std::string Digits(unsigned value, int width) {
  std::string text = std::to_string(value);
  if (text.size() < static_cast<std::size_t>(width)) {
    text.insert(0, static_cast<std::size_t>(width) - text.size(), '0');
  }
  return text;
}

}  // namespace

std::string LogTime(const platform::SystemTime& time) {
  return Digits(time.year, 4) + '-' + Digits(time.month, 2) + '-' + Digits(time.day, 2) + ' ' +
         Digits(time.hour, 2) + ':' + Digits(time.minute, 2) + ':' + Digits(time.second, 2);
}

std::string LogSafe(std::string_view text) {
  std::string safe(text);
  for (char& c : safe) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return safe;
}

std::string LogError(platform::Dword error) {
  if (error < 0x10000) return std::to_string(error);
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(error));
  return text;
}

std::string OldLogPath(std::string_view path) {
  const std::size_t name = path.find_last_of("\\/:");
  const std::size_t dot = path.rfind('.');
  const bool has_extension =
      dot != std::string_view::npos && (name == std::string_view::npos || dot > name);
  std::string old(has_extension ? path.substr(0, dot) : path);
  old += kOldLogExtension;
  return old;
}

std::string DefaultLogPath(std::string_view windows_directory) {
  if (windows_directory.empty() || windows_directory.size() > kMaxWindowsDirectory) return {};
  std::string path(windows_directory);
  if (path.back() != '\\') path += '\\';
  path += kLogFileName;
  return path;
}

SetupLog::~SetupLog() {
  Close();
}

void SetupLog::Open(std::string_view named, std::string_view fallback) {
  if (platform_ == nullptr) return;
  named_ = named;
  fallback_ = fallback;
  if (named_.empty()) {
    if (!fallback_.empty() && OpenFile(fallback_) == platform::kErrorSuccess) path_ = fallback_;
    return;
  }
  const platform::Dword error = OpenFile(named_);
  if (error == platform::kErrorSuccess) {
    path_ = named_;
  } else {
    HandOverToFallback(error);
  }
}

void SetupLog::Write(std::string_view format, std::initializer_list<Arg> args) {
  if (file_ == platform::kInvalidHandleValue) return;
  WriteText(FormatMessage(format, format, args));
}

void SetupLog::WriteText(std::string_view text) {
  platform::SystemTime now;
  platform_->GetLocalTime(&now);
  const std::string line = LogTime(now) + ' ' + LogSafe(text) + "\r\n";
  platform::Dword error = WriteLine(line);
  if (error != platform::kErrorSuccess) {
    Close();
    if (named_in_use()) {
      HandOverToFallback(error);
      error = file_ != platform::kInvalidHandleValue ? WriteLine(line) : error;
    }
  }
  if (error == platform::kErrorSuccess && !pending_notes_.empty()) {
    // What became of the log itself, right after the line that was being written.
    std::vector<std::string> notes;
    notes.swap(pending_notes_);
    for (const std::string& note : notes) WriteText(note);
    return;
  }
  if (error != platform::kErrorSuccess) {
    Close();
    path_.clear();
  }
}

platform::Dword SetupLog::OpenFile(std::string_view path) {
  // A full log is set aside; when that fails the run appends to it all the same.
  const std::optional<std::uint64_t> size = platform_->GetFileSize(path);
  const bool set_aside =
      size && *size >= kLogSizeLimit &&
      platform_->MoveFileExA(path, OldLogPath(path), platform::MOVEFILE_REPLACE_EXISTING) != 0;
  file_ = platform_->CreateFileA(path, platform::FILE_APPEND_DATA,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                 platform::OPEN_ALWAYS);
  if (file_ == platform::kInvalidHandleValue) {
    const platform::Dword error = platform_->GetLastError();
    return error == platform::kErrorSuccess ? platform::kErrorGenFailure : error;
  }
  path_ = path;
  if (set_aside) {
    const std::string old = OldLogPath(path);
    pending_notes_.push_back(FormatMessage(kLogSetAside, kLogSetAside, {old}));
  }
  return platform::kErrorSuccess;
}

void SetupLog::HandOverToFallback(platform::Dword error) {
  path_.clear();
  if (handed_over_) return;
  handed_over_ = true;
  const std::string named = LogSafe(named_);
  const std::string code = LogError(error);
  console_->PrintText(FormatMessage(kLogNotWritableText, kLogNotWritableText, {named, code}));
  if (fallback_.empty() || OpenFile(fallback_) != platform::kErrorSuccess) {
    path_.clear();
    return;
  }
  pending_notes_.push_back(FormatMessage(kLogNamedLogFailed, kLogNamedLogFailed, {named, code}));
}

void SetupLog::Close() {
  if (file_ == platform::kInvalidHandleValue) return;
  platform_->CloseHandle(file_);
  file_ = platform::kInvalidHandleValue;
}

platform::Dword SetupLog::WriteLine(const std::string& line) {
  platform::Dword written = 0;
  if (platform_->WriteFile(file_, line, &written) == 0) {
    const platform::Dword error = platform_->GetLastError();
    return error == platform::kErrorSuccess ? platform::kErrorGenFailure : error;
  }
  // A short write leaves part of a line: the disk is full.
  return written == line.size() ? platform::kErrorSuccess : platform::kErrorDiskFull;
}

}  // namespace messages
