#include "source.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace oplparse {

int Source::line_at(std::size_t offset) const {
  offset = std::min(offset, text.size());
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
}

std::size_t Source::end_of_content() const {
  std::size_t end = text.size();
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\n' || text[end - 1] == '\r')) {
    --end;
  }
  return end;
}

int Source::last_line() const {
  std::size_t end = end_of_content();
  return line_at(end == 0 ? 0 : end - 1);
}

int Source::column_at(std::size_t offset) const {
  offset = std::min(offset, text.size());
  std::size_t start = text.rfind('\n', offset == 0 ? 0 : offset - 1);
  start = (start == std::string_view::npos || (offset == 0)) ? 0 : start + 1;
  // UTF-8 continuation bytes (10xxxxxx) do not start a character.
  auto starts_char = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; };
  return 1 + static_cast<int>(std::count_if(text.begin() + static_cast<std::ptrdiff_t>(start),
                                            text.begin() + static_cast<std::ptrdiff_t>(offset), starts_char));
}

void Source::fail(const std::string& message, int line, int col) const {
  Ref error = call_kw(global(module, K::SemanticError), {py_str(message)},
                      {{"lineno", py_int(line)}, {"filename", Ref::borrow(filename)},
                       {"col", col > 0 ? py_int(col) : Ref::borrow(Py_None)}});
  raise_instance(error);
}

void Source::fail_at(const std::string& message, std::size_t offset) const {
  fail(message, line_at(offset), column_at(offset));
}

void Source::fail_too_deep(std::size_t offset, const std::string& advice) const {
  PyErr_Clear();
  int line = line_at(offset);
  Ref error = call(PyExc_RecursionError, py_str("Nesting too deep at line " + std::to_string(line) + ": " + advice));
  setattr(error, K::filename, filename);
  setattr(error, K::lineno, py_int(line));
  setattr(error, K::col, py_int(column_at(offset)));
  raise_instance(error);
}

Ref Source::number(std::string_view written, bool is_float) const {
  Ref value = number_from_text(written, is_float);
  if (is_float && !std::isfinite(PyFloat_AS_DOUBLE(value.get()))) {
    fail("Unsupported number " + std::string(written) + ": it is beyond the largest finite float (about 1.8e308)",
         line_at(static_cast<std::size_t>(written.data() - text.data())));
  }
  return value;
}

std::string_view char_at(std::string_view text, std::size_t offset) {
  auto lead = static_cast<unsigned char>(text[offset]);
  std::size_t size = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return text.substr(offset, size);
}

Ref number_from_text(std::string_view text, bool is_float) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (is_float) {
    double v = 0;
    auto [ptr, ec] = std::from_chars(first, last, v);
    if (ec == std::errc() && ptr == last) return py_float(v);
    std::string copy(text);  // out of range for from_chars: inf or a denormal, as float() gives
    v = PyOS_string_to_double(copy.c_str(), nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
    return py_float(v);
  }
  long long v = 0;
  auto [ptr, ec] = std::from_chars(first, last, v);
  if (ec == std::errc() && ptr == last) return py_int(v);
  std::string copy(text);  // beyond 64 bits
  return check(PyLong_FromString(copy.c_str(), nullptr, 10));
}

Ref string_from_literal(std::string_view body) {
  if (body.find('\\') == std::string_view::npos) {
    return check(PyUnicode_DecodeUTF8(body.data(), static_cast<Py_ssize_t>(body.size()), "strict"));
  }
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c != '\\' || i + 1 == body.size()) {
      out += c;
      continue;
    }
    char e = body[++i];
    switch (e) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '"':
      case '\\':
      case '\'':
        out += e;
        break;
      default:
        out += '\\';
        out += e;
    }
  }
  return check(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
}

Ref node(const Key& type, std::initializer_list<Field> fields) {
  Ref d = new_dict();
  set_item(d, K::type, type);
  for (const Field& f : fields) set_item(d, f.key, f.value);
  return d;
}

Ref deep_copy(Handle tree) {
  RecursionGuard guard(" while copying a model tree");
  if (PyDict_CheckExact(tree.get())) {
    Ref copy = new_dict();
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(tree, &pos, &key, &value)) set_item(copy, key, deep_copy(value));
    return copy;
  }
  if (PyList_CheckExact(tree.get())) {
    Ref copy = new_list();
    for (Ref& element : Iterate(tree)) append(copy, deep_copy(element));
    return copy;
  }
  return Ref::borrow(tree);
}

}  // namespace oplparse
