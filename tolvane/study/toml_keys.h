// Typed access to the keys of a TOML document, for the study file's reader.
//
// Every accessor checks a value's type and refuses a wrong one with an InputError
// "FILE:LINE: key K: expected ..., found ..." that names what was found, so that the
// readers of the key families state only what they expect.
#pragma once

#include <toml++/toml.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "formats/text_parsing.h"
#include "tolvane/study/study_file.h"

namespace tolvane::study {

// What a TOML value is, for messages: "a string \"x\"", "the integer 3", "a table", ...
std::string typeName(const toml::node& node);

class KeyReader {
 public:
  explicit KeyReader(std::filesystem::path file) : file_(std::move(file)) {}

  KeyPlace place(const std::string& key, const toml::node& node) const {
    return {key, static_cast<int>(node.source().begin.line)};
  }

  [[noreturn]] void fail(const KeyPlace& place, const std::string& what) const {
    formats::failAt(file_, place.line, "key " + place.key + ": " + what);
  }

  [[noreturn]] void wrongType(const std::string& key, const toml::node& node,
                              const std::string& expected) const {
    fail(place(key, node), "expected " + expected + ", found " + typeName(node));
  }

  // Refuses every key of `table` outside `known`, naming the known ones.
  void onlyKnownKeys(const toml::table& table, const std::string& prefix,
                     const std::set<std::string>& known) const {
    for (const auto& [key, node] : table) {
      const std::string name(key.str());
      if (known.count(name) == 0) {
        std::string list;
        for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
        fail(place(prefix + formats::printable(name), node),
             "unknown key; expected one of " + list);
      }
    }
  }

  std::string text(const std::string& key, const toml::node& node) const {
    if (!node.is_string()) wrongType(key, node, "a string");
    return *node.value<std::string>();
  }

  std::int64_t integer(const std::string& key, const toml::node& node) const {
    if (!node.is_integer()) wrongType(key, node, "a whole number");
    return *node.value<std::int64_t>();
  }

  double number(const std::string& key, const toml::node& node) const {
    if (!node.is_number()) wrongType(key, node, "a number");
    return *node.value<double>();
  }

  template <std::size_t N, typename T>
  std::array<T, N> list(const std::string& key, const toml::node& node, bool whole) const {
    const toml::array* array = node.as_array();
    const std::string expected =
        "an array of " + std::to_string(N) + (whole ? " whole numbers" : " numbers");
    if (array == nullptr || array->size() != N) wrongType(key, node, expected);
    std::array<T, N> values{};
    for (std::size_t i = 0; i < N; ++i) {
      const toml::node& element = *array->get(i);
      if (whole ? !element.is_integer() : !element.is_number()) wrongType(key, node, expected);
      values[i] = *element.value<T>();
    }
    return values;
  }

  bool boolean(const std::string& key, const toml::node& node) const {
    if (!node.is_boolean()) wrongType(key, node, "true or false");
    return *node.value<bool>();
  }

  // An array of 1 to `most` numbers.
  std::vector<double> numbers(const std::string& key, const toml::node& node,
                              std::size_t most) const {
    const toml::array* array = node.as_array();
    const std::string expected = "an array of 1 to " + std::to_string(most) + " numbers";
    if (array == nullptr || array->empty() || array->size() > most) {
      wrongType(key, node, expected);
    }
    std::vector<double> values;
    for (const toml::node& element : *array) {
      if (!element.is_number()) wrongType(key, node, expected);
      values.push_back(*element.value<double>());
    }
    return values;
  }

  const std::filesystem::path& file() const { return file_; }

 private:
  std::filesystem::path file_;
};

}  // namespace tolvane::study
