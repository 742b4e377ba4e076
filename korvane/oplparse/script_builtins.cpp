// Values of scripts as JavaScript treats them (text, truth, numbers, equality), and the
// functions of Math and Opl.
#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstdlib>

#include "script.hpp"

namespace oplparse::script {

// Number::toString: the shortest digits that read back as `v`, placed as ECMAScript places them.
std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "Infinity" : "-Infinity";
  if (v == 0.0) return "0";
  std::string sign = v < 0 ? "-" : "";
  char buf[64];
  auto end = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::scientific).ptr;
  std::string sci(buf, end);  // d.ddde±xx
  std::size_t e = sci.find('e');
  std::string digits = sci.substr(0, 1) + (e > 2 ? sci.substr(2, e - 2) : "");
  int n = std::atoi(sci.c_str() + e + 1) + 1;  // the decimal point sits after n digits
  int k = static_cast<int>(digits.size());
  if (k <= n && n <= 21) return sign + digits + std::string(static_cast<std::size_t>(n - k), '0');
  if (0 < n && n <= 21) return sign + digits.substr(0, static_cast<std::size_t>(n)) + "." + digits.substr(static_cast<std::size_t>(n));
  if (-6 < n && n <= 0) return sign + "0." + std::string(static_cast<std::size_t>(-n), '0') + digits;
  std::string exponent = (n - 1 >= 0 ? "+" : "-") + std::to_string(std::abs(n - 1));
  return sign + digits.substr(0, 1) + (k > 1 ? "." + digits.substr(1) : "") + "e" + exponent;
}

bool truth(const Value& v) {
  switch (v.k) {
    case Value::K::Undefined:
    case Value::K::Null:
      return false;
    case Value::K::Bool:
    case Value::K::Num:
      return v.num != 0.0 && !std::isnan(v.num);
    case Value::K::Str:
      return !v.str->empty();
    default:
      return true;
  }
}

double to_number(const Value& v) {
  switch (v.k) {
    case Value::K::Null:
      return 0.0;
    case Value::K::Bool:
    case Value::K::Num:
      return v.num;
    case Value::K::Str: {
      std::string_view s = *v.str;
      while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) s.remove_prefix(1);
      while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) s.remove_suffix(1);
      if (s.empty()) return 0.0;
      std::string owned(s);
      char* end = nullptr;
      double d = std::strtod(owned.c_str(), &end);
      return end == owned.c_str() + owned.size() ? d : std::nan("");
    }
    default:
      return std::nan("");
  }
}

bool same_value(const Value& a, const Value& b) {
  using K = Value::K;
  bool a_nothing = a.is(K::Undefined) || a.is(K::Null), b_nothing = b.is(K::Undefined) || b.is(K::Null);
  if (a_nothing || b_nothing) return a_nothing && b_nothing;
  if (a.is(K::Str) && b.is(K::Str)) return *a.str == *b.str;
  bool a_num = a.is(K::Num) || a.is(K::Bool), b_num = b.is(K::Num) || b.is(K::Bool);
  if ((a_num || a.is(K::Str)) && (b_num || b.is(K::Str))) return to_number(a) == to_number(b);
  if (a.is(K::Tup) && b.is(K::Tup)) {
    if (a.tup->items.size() != b.tup->items.size()) return false;
    for (std::size_t i = 0; i < a.tup->items.size(); ++i) {
      if (!same_value(a.tup->items[i], b.tup->items[i])) return false;
    }
    return true;
  }
  if (a.is(K::Arr) && b.is(K::Arr)) return a.arr == b.arr;
  if (a.k == b.k && a.is(K::Builtin)) return *a.str == *b.str;
  if (a.k == b.k && a.is(K::Data) && *a.str == *b.str && a.key->size() == b.key->size()) {
    for (std::size_t i = 0; i < a.key->size(); ++i) {
      if (!same_value((*a.key)[i], (*b.key)[i])) return false;
    }
    return true;
  }
  return false;
}

namespace {

[[noreturn]] void wrong_arguments(const std::string& f, const std::string& expected, int line) {
  throw ModelError{f + " takes " + expected, line};
}

double math_round(double x) {
  return std::floor(x + 0.5);  // JavaScript rounds halves up, -2.5 to -2
}

std::optional<Value> math_function(const std::string& f, const std::vector<Value>& args, int line) {
  std::string name = "Math." + f;
  if (f == "min" || f == "max") {
    double r = f == "min" ? HUGE_VAL : -HUGE_VAL;
    for (const Value& a : args) {
      double x = to_number(a);
      if (std::isnan(x)) return Value::number(x);
      r = f == "min" ? std::fmin(r, x) : std::fmax(r, x);
    }
    return Value::number(r);
  }
  if (f == "pow") {
    if (args.size() != 2) wrong_arguments(name, "two arguments", line);
    return Value::number(std::pow(to_number(args[0]), to_number(args[1])));
  }
  if (args.size() != 1) wrong_arguments(name, "one argument", line);
  double x = to_number(args[0]);
  if (f == "abs") return Value::number(std::fabs(x));
  if (f == "floor") return Value::number(std::floor(x));
  if (f == "ceil") return Value::number(std::ceil(x));
  if (f == "round") return Value::number(math_round(x));
  if (f == "sqrt") return Value::number(std::sqrt(x));
  if (f == "exp") return Value::number(std::exp(x));
  if (f == "log") return Value::number(std::log(x));
  return std::nullopt;
}

std::optional<Value> opl_function(const std::string& f, const std::vector<Value>& args, ScriptData& data, int line) {
  std::string name = "Opl." + f;
  if (f == "abs" || f == "floor" || f == "ceil" || f == "round") {
    if (args.size() != 1) wrong_arguments(name, "one argument", line);
    double x = to_number(args[0]);
    double r = f == "abs" ? std::fabs(x) : f == "floor" ? std::floor(x) : f == "ceil" ? std::ceil(x) : std::round(x);
    return Value::number(r);
  }
  if (args.empty() || !args[0].is(Value::K::Data) || !data.is_set(args[0])) {
    wrong_arguments(name, "a declared set or range as its first argument", line);
  }
  std::vector<Value> elements = data.elements(args[0], line);
  const std::string& set = *args[0].str;
  auto position = [&](const Value& e) -> std::size_t {
    for (std::size_t i = 0; i < elements.size(); ++i) {
      if (same_value(elements[i], e)) return i;
    }
    throw ModelError{name + ": " + to_text(e, &data) + " is not an element of '" + set + "'", line};
  };
  auto need = [&](std::size_t count) {
    if (args.size() != count) wrong_arguments(name, std::to_string(count) + " arguments", line);
  };
  auto nonempty = [&] {
    if (elements.empty()) throw ModelError{name + ": '" + set + "' is empty", line};
  };
  if (f == "card") {
    need(1);
    return Value::number(static_cast<double>(elements.size()));
  }
  if (f == "first" || f == "last") {
    need(1);
    nonempty();
    return f == "first" ? elements.front() : elements.back();
  }
  if (f == "ord") {
    need(2);
    return Value::number(static_cast<double>(position(args[1])));
  }
  if (f == "item") {
    need(2);
    double i = to_number(args[1]);
    if (!(i >= 0 && i < static_cast<double>(elements.size()) && i == std::floor(i))) {
      throw ModelError{name + ": '" + set + "' has no element at position " + number_text(i), line};
    }
    return elements[static_cast<std::size_t>(i)];
  }
  if (f == "next" || f == "prev") {  // next(S, e) and next(S, e, k): k positions on
    if (args.size() != 2) need(3);
    double k = args.size() == 3 ? to_number(args[2]) : 1.0;
    double target = static_cast<double>(position(args[1])) + (f == "next" ? k : -k);
    if (!(target >= 0 && target < static_cast<double>(elements.size()) && target == std::floor(target))) {
      throw ModelError{name + ": '" + set + "' has no element " + number_text(k) + " " +
                           (f == "next" ? "after " : "before ") + to_text(args[1], &data),
                       line};
    }
    return elements[static_cast<std::size_t>(target)];
  }
  return std::nullopt;
}

}  // namespace

std::optional<Value> call_builtin(const std::string& object, const std::string& f, const std::vector<Value>& args,
                                  ScriptData& data, int line) {
  if (object == "Math") return math_function(f, args, line);
  if (object == "Opl") return opl_function(f, args, data, line);
  return std::nullopt;
}

// ---- settings ----

namespace {

// cplex parameters with a counterpart among the targets' options, by the option's name.
struct MappedSetting {
  std::string_view param, option;
};
constexpr MappedSetting kMappedSettings[] = {
    {"tilim", "time_limit"}, {"epgap", "mip_gap"}, {"epagap", "mip_gap_abs"}, {"threads", "threads"}};

}  // namespace

void Settings::assign(const std::string& param, double value) {
  for (const MappedSetting& m : kMappedSettings) {
    if (param != m.param) continue;
    for (auto& [option, v] : mapped) {
      if (option == m.option) {
        v = value;
        return;
      }
    }
    mapped.emplace_back(m.option, value);
    return;
  }
  if (std::find(ignored.begin(), ignored.end(), param) == ignored.end()) ignored.push_back(param);
}

std::optional<double> Settings::read(const std::string& param) const {
  for (const MappedSetting& m : kMappedSettings) {
    if (param != m.param) continue;
    for (const auto& [option, v] : mapped) {
      if (option == m.option) return v;
    }
  }
  return std::nullopt;
}

}  // namespace oplparse::script
