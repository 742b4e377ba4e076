// The files a client may name to the tools. A prompt-injected assistant could otherwise have
// generate_tool overwrite a shell profile or ask_tool send a private key to the language model,
// so a path is taken only when it ends in the suffix of its role, leads (symlinks followed) to a
// file with that suffix that, if it exists, is a regular file with no other name, and lies inside
// KORVANE_MCP_ROOT when that is set.
#include <string>

#include "keys.hpp"
#include "server.hpp"

namespace velmora {
namespace {

using namespace kv;

[[noreturn]] void refuse(const char* parameter, Handle path, const std::string& why) {
  raise(PyExc_ValueError, std::string(parameter) + " " + repr_text(path) + " is refused: " + why);
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// os.path.realpath(path): absolute, with every symlink followed.
std::string real_path(Handle os_path, Handle path) {
  return text(call(attr(os_path, K::realpath), path));
}

// Whether `path` is `root` or lies below it; both are real paths.
bool inside(const std::string& path, std::string root) {
  if (path == root) return true;
  if (!ends_with(root, "/")) root += "/";
  return path.compare(0, root.size(), root) == 0;
}

}  // namespace

void check_tool_file(const char* parameter, Handle path, const char* suffix) {
  const std::string wanted = std::string("'") + suffix + "'";
  if (!is_str(path)) refuse(parameter, path, "give the path of a file ending in " + wanted);
  if (!ends_with(text(path), suffix)) refuse(parameter, path, "the file name must end in " + wanted);
  Ref os = import("os");
  Ref os_path = attr(os, K::path);
  const std::string target = real_path(os_path, path);
  if (!ends_with(target, suffix))
    refuse(parameter, path, "it leads to '" + target + "', whose name does not end in " + wanted);
  Ref target_text = py_str(target);
  if (truthy(call(attr(os_path, K::lexists), target_text))) {
    if (!truthy(call(attr(os_path, K::isfile), target_text)))
      refuse(parameter, path, "'" + target + "' exists and is not a regular file");
    // Another name of the same file (a hard link) may be anything, ~/.profile included.
    const long names = PyLong_AsLong(attr(call(attr(os, K::stat), target_text), K::st_nlink).get());
    if (names == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (names > 1) refuse(parameter, path, "'" + target + "' has other names (hard links)");
  }
  Ref root = call_method(attr(os, K::environ), K::get, py_str("KORVANE_MCP_ROOT"));
  if (!truthy(root)) return;
  if (!inside(target, real_path(os_path, root)))
    refuse(parameter, path, "it lies outside KORVANE_MCP_ROOT (" + repr_text(root) + ")");
}

}  // namespace velmora
