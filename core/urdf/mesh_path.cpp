// Resolution of <mesh> file names: absolute paths, names relative to a package
// directory, and "package://" names looked up in ROS_PACKAGE_PATH.
#include <sys/stat.h>

#include <cstdlib>

#include "core/urdf/internal.hpp"

namespace velmora::urdf {

namespace {

std::unexpected<ParseError> invalid_path(std::string message) {
  return fail(ParseError::Kind::InvalidFilePath, std::move(message));
}

// The last component of a directory path, ignoring empty and "." components; none for
// "", "/" and a path that ends in "..".
std::optional<std::string_view> last_component(std::string_view path) {
  std::optional<std::string_view> last;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    const std::string_view piece = path.substr(start, slash - start);
    if (!piece.empty() && piece != ".") last = piece;
    start = slash + 1;
  }
  if (last && *last == "..") return {};
  return last;
}

bool path_exists(const std::string& path) {
  // A NUL byte would cut the path short and test another file.
  if (path.find('\0') != std::string::npos) return false;
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

std::string join_path(std::string_view dir, std::string_view path) {
  if (!path.empty() && path.front() == '/') return std::string(path);
  std::string joined(dir);
  if (!joined.empty() && joined.back() != '/') joined += '/';
  joined += path;
  return joined;
}

Result<std::string> resolve_mesh_path(std::string_view filename, const std::optional<std::string>& package_dir,
                                      std::optional<std::string_view> ros_package_path) {
  constexpr std::string_view scheme = "package://";
  std::string candidate;
  if (filename.starts_with(scheme)) {
    std::string_view rest = filename.substr(scheme.size());
    if (rest.starts_with('/')) rest.remove_prefix(1);
    const std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return invalid_path("Invalid package path: " + std::string(rest));
    const std::string_view package = rest.substr(0, slash);
    const std::string_view inside = rest.substr(slash + 1);
    if (!ros_package_path)
      return invalid_path("'package://' was used but the ROS_PACKAGE_PATH environment variable is not set");
    std::optional<std::string_view> package_path;
    std::size_t start = 0;
    while (start <= ros_package_path->size()) {
      std::size_t colon = ros_package_path->find(':', start);
      if (colon == std::string_view::npos) colon = ros_package_path->size();
      const std::string_view entry = ros_package_path->substr(start, colon - start);
      if (last_component(entry) == package) {
        package_path = entry;
        break;
      }
      start = colon + 1;
    }
    if (!package_path) return invalid_path("Package '" + std::string(package) + "' not found in ROS_PACKAGE_PATH");
    candidate = join_path(*package_path, inside);
  } else if (filename.starts_with('/')) {
    candidate = std::string(filename);
  } else {
    if (!package_dir) return invalid_path("'package_dir' must be provided to resolve mesh file paths");
    candidate = join_path(*package_dir, filename);
  }
  if (!is_utf8(candidate)) return invalid_path("Invalide path: " + candidate);
  if (!path_exists(candidate)) return invalid_path("Mesh file does not exist: " + candidate);
  return candidate;
}

Result<std::string> resolve_mesh_path(std::string_view filename, const std::optional<std::string>& package_dir) {
  const char* value = std::getenv("ROS_PACKAGE_PATH");
  std::optional<std::string_view> ros_package_path;
  if (value && is_utf8(value)) ros_package_path = value;
  return resolve_mesh_path(filename, package_dir, ros_package_path);
}

}  // namespace velmora::urdf
