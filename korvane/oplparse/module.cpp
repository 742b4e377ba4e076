// korvane.oplparse: reads .mod model files and .dat data files into the model tree and the data
// dictionary that the code generators take. Errors in either file are SemanticErrors carrying
// the line, a repair hint and the file name (as the attribute `filename`).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/collector.hpp"
#include "common/prefault.hpp"
#include "script.hpp"
#include "source.hpp"

namespace oplparse {
namespace {

Source source_of(const Call& c, const char* function, PyObject* text, PyObject* filename) {
  if (!is_str(text)) {
    raise(PyExc_TypeError, std::string(function) + "() argument 'text' must be str, not " + Py_TYPE(text)->tp_name);
  }
  return Source{without_bom(utf8(text)), filename ? filename : Py_None, c.module};
}

Ref parse_model(const Call& c) {
  auto [text, filename] = c.bind(Params<2>{"parse_model", {"text", "filename"}, 1});
  return parse_model_text(source_of(c, "parse_model", text, filename));
}

Ref parse_data(const Call& c) {
  auto [text, filename] = c.bind(Params<2>{"parse_data", {"text", "filename"}, 1});
  PrefaultArenas prefault;
  return parse_data_text(source_of(c, "parse_data", text, filename));
}

// An open file descriptor, closed when it goes out of scope.
struct OpenFile {
  int fd;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }
};

// Reads from `fd` into `buffer` until it is full or the file ends; returns the bytes read, or -1
// with `error` set. Runs without the interpreter lock: touches no Python object.
ssize_t read_into(int fd, char* buffer, std::size_t size, int& error) noexcept {
  std::size_t filled = 0;
  while (filled < size) {
    ssize_t n = ::read(fd, buffer + filled, size - filled);
    if (n == 0) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return -1;
    }
    filled += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(filled);
}

// Whatever follows in `fd` once the expected size has been read (a file that grew meanwhile, or
// one whose size is not known in advance, like a pipe). Same contract as read_into.
int read_rest(int fd, std::string& rest) noexcept {
  int error = 0;
  try {
    char buffer[1 << 16];
    for (ssize_t n; (n = read_into(fd, buffer, sizeof buffer, error)) > 0;) rest.append(buffer, static_cast<std::size_t>(n));
  } catch (const std::bad_alloc&) {
    error = ENOMEM;
  }
  return error;
}

[[noreturn]] void fail_reading(int error, Handle path) {
  if (error == ENOMEM) throw std::bad_alloc();
  errno = error;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  throw PyErrorSet{};
}

// The whole file at `path` (a str or bytes from os.fspath) as bytes, read straight into the bytes
// object at the size the file has when opened (data files run to megabytes: no second copy).
// Failures raise what Python's own file reading raises: OSError, with the subclass of its errno
// (such as FileNotFoundError).
Ref read_bytes(Handle path) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(path, &converted)) throw PyErrorSet{};
  Ref encoded = Ref::steal(converted);
  OpenFile file{-1};
  int error = 0;
  struct stat status {};
  Py_BEGIN_ALLOW_THREADS file.fd = ::open(PyBytes_AS_STRING(encoded.get()), O_RDONLY | O_CLOEXEC);
  if (file.fd < 0) {
    error = errno;
  } else if (::fstat(file.fd, &status) != 0) {
    error = errno;
  }
  Py_END_ALLOW_THREADS if (error != 0) fail_reading(error, path);
  auto expected = static_cast<std::size_t>(S_ISREG(status.st_mode) ? status.st_size : 0);
  Ref bytes = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(expected)));
  ssize_t got = 0;
  std::string rest;
  Py_BEGIN_ALLOW_THREADS populate(PyBytes_AS_STRING(bytes.get()), expected);
  got = read_into(file.fd, PyBytes_AS_STRING(bytes.get()), expected, error);
  if (got == static_cast<ssize_t>(expected)) error = read_rest(file.fd, rest);
  Py_END_ALLOW_THREADS if (error != 0) fail_reading(error, path);
  if (!rest.empty()) {
    Ref whole = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(expected + rest.size())));
    std::memcpy(PyBytes_AS_STRING(whole.get()), PyBytes_AS_STRING(bytes.get()), expected);
    std::memcpy(PyBytes_AS_STRING(whole.get()) + expected, rest.data(), rest.size());
    return whole;
  }
  if (got < static_cast<ssize_t>(expected)) {
    PyObject* raw = bytes.release();
    if (_PyBytes_Resize(&raw, got) != 0) throw PyErrorSet{};
    bytes = Ref::steal(raw);
  }
  return bytes;
}

// The source of a file's bytes, checked to be UTF-8 outside its comments.
Source file_source(const Call& c, Handle bytes, Handle name) {
  Source source{without_bom(std::string_view(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()))),
                name.get(), c.module};
  check_encoding(source);
  return source;
}

Ref instantiate(const Call& c) {
  auto [tree, data, filename] = c.bind(Params<3>{"instantiate", {"tree", "data", "filename"}, 2});
  PauseCollector pause;
  PrefaultArenas prefault;
  return instantiate_model(Source{{}, filename ? filename : Py_None, c.module}, tree, data);
}

Ref parse_files(const Call& c) {
  auto [model_path, data_path] = c.bind(Params<2>{"parse_files", {"model_path", "data_path"}, 1});
  PauseCollector pause;  // the data's containers are checked and instantiated in bulk
  PrefaultArenas prefault;
  Ref model_name = check(PyOS_FSPath(model_path));
  Ref model_bytes = read_bytes(model_name);
  Source model = file_source(c, model_bytes, model_name);
  Ref tree = parse_model_text(model);
  Ref data = new_dict();
  if (data_path != nullptr && !is_none(data_path)) {
    Ref data_name = check(PyOS_FSPath(data_path));
    Ref data_bytes = read_bytes(data_name);
    Source data_source = file_source(c, data_bytes, data_name);
    DataLocations where;
    data = parse_data_text(data_source, &where);
    check_data(data_source, where, tree, data);
  }
  return instantiate_model(model, tree, data);
}

// A post block run with the solution: errors carry the line, as those of instantiation do.
Ref run_script(const Call& c) {
  auto [block, tree, data, solution, objective] = c.bind(
      Params<5>{"run_script", {"block", "tree", "data", "solution", "objective"}, 3});
  for (auto [arg, what] : {std::pair{block, "block"}, {tree, "tree"}, {data, "data"}}) {
    if (!is_dict(arg)) {
      raise(PyExc_TypeError, std::string("run_script() argument '") + what + "' must be dict, not " + Py_TYPE(arg)->tp_name);
    }
  }
  try {
    return script::run_after_solve(c.module, block, tree, data, solution ? solution : Py_None,
                                   objective ? objective : Py_None);
  } catch (const lpsparse::ModelError& e) {
    Source{{}, Py_None, c.module}.fail(script::with_script_hint(e.message), static_cast<int>(e.lineno));
  }
}

PyMethodDef kFunctions[] = {
    KV_FUNCTION("parse_model", parse_model,
                "parse_model(text, filename=None)\n--\n\nParse the text of a .mod file into a model tree."),
    KV_FUNCTION("parse_data", parse_data,
                "parse_data(text, filename=None)\n--\n\nParse the text of a .dat file into a data dictionary."),
    KV_FUNCTION("instantiate", instantiate,
                "instantiate(tree, data, filename=None)\n--\n\nEvaluate what a parsed model computes from its data "
                "and lower it to the model tree the code generators take; returns (tree, data). Neither argument is "
                "changed."),
    KV_FUNCTION("post_process", post_process,
                "post_process(tree, data, solution, objective, filename=None)\n--\n\nRun what an instantiated model "
                "computes after its solve, with its variables at the values of `solution` (variable name to value, "
                "or None when the solve found no point: then only a main block runs) and the objective value "
                "`objective`; returns (log, values): the text its post blocks wrote and the values of the "
                "declarations that read the solution, by name."),
    KV_FUNCTION("parse_files", parse_files,
                "parse_files(model_path, data_path=None)\n--\n\nRead, parse and instantiate a .mod file and, when "
                "given, a .dat file; returns (tree, data), with an empty data dictionary when there is no data file."),
    KV_FUNCTION("run_script", run_script,
                "run_script(block, tree, data, solution=None, objective=None)\n--\n\nRun a script block of an "
                "instantiated model's 'post_blocks' with the solution bound (a dict from variable names such as "
                "'x[1,a]' to values) and the objective value; returns {'log', 'settings', 'ignored_settings', "
                "'data'}. Neither argument is changed."),
};

void exec_oplparse(PyObject* module) {
  add(module, "SemanticError", attr(import_sibling(module, "faultlore"), "SemanticError"));
  add(module, "EXPANSION_LIMIT", py_int(kDefaultExpansionLimit));
  add(module, "SCRIPT_STEP_LIMIT", py_int(script::kDefaultStepLimit));
  for (PyMethodDef& def : kFunctions) add(module, def.ml_name, make_function(&def, module));
}

}  // namespace
}  // namespace oplparse

KV_MODULE(oplparse, oplparse::exec_oplparse, "Parser of .mod model files and .dat data files.")
