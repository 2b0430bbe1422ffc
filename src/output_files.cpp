#include "output_files.hpp"

#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace corvane {

namespace fs = std::filesystem;

namespace {

bool directoryTakesNewFiles(const fs::path& file) {
  fs::path directory = file.parent_path();
  if (directory.empty()) directory = ".";
  std::error_code ec;
  return fs::is_directory(directory, ec) && ::access(directory.c_str(), W_OK | X_OK) == 0;
}

} // namespace

std::string outputTarget(const std::string& path) {
  std::error_code ec;
  if (!fs::is_symlink(path, ec)) return path;
  const fs::path target = fs::canonical(path, ec);
  return ec ? path : target.string();
}

std::string unfinishedOutputPath(const std::string& path) {
  std::error_code ec;
  const fs::file_status link = fs::symlink_status(path, ec);
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_symlink(link) && !fs::exists(status)) return "";
  if (fs::exists(status) && !fs::is_regular_file(status)) return "";
  return outputTarget(path) + ".corvane-unfinished";
}

bool outputCanBeCreated(const std::string& path, bool in_directory) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_directory(status)) return false;
  if (!fs::exists(status)) return directoryTakesNewFiles(outputTarget(path));
  if (in_directory && fs::is_regular_file(status) && !directoryTakesNewFiles(outputTarget(path))) return false;
  return ::access(path.c_str(), W_OK) == 0;
}

} // namespace corvane
