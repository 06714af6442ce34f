// Python manifest mappings into the composition hash, by the manifest's rules
// (manifest_rules.hpp): items read ahead where they can be, through real
// lookups where they must, and the first failure ends the call.
#pragma once

#include <array>

#include "manifest_rules.hpp"

namespace vela_sha::py {

// The rules' readers that look entries up: the caller's code runs where the
// rules reach it, and each value is held by a reference of its own meanwhile.
// `Self` decides what a failed check does, and what an exception does
// (stop(failure)).
template <class Self>
class Lookups {
 public:
  using Value = Ref;
  using Holder = Ref;
  explicit Lookups(Keys& keys) noexcept : keys_(keys) {}

  static bool mapping(const Ref& value) noexcept { return PyDict_Check(value.get()); }
  static bool list(const Ref& value) noexcept { return PyList_Check(value.get()); }

  Step entry(const Ref& mapping, KeyId key, Rule missing, const Place& at, Ref& out) {
    auto value = look_up(mapping.get(), key, keys_);
    if (!value) return self().stop(std::move(value.error()));
    if (!*value) return self().fail(missing, key, at);
    out = std::move(*value);
    return Step::Passed;
  }

  Step text(Ref value, KeyId key, const Place& at, Text<Ref>& out) {
    auto text = string_test(value.get());
    if (!text) return self().stop(std::move(text.error()));
    if (!*text) return self().fail(Rule::FieldNotString, key, at);
    out = {**text, std::move(value)};
    return Step::Passed;
  }

  Step occurrence(const Ref& value, const Place& at, std::uint32_t& out) {
    auto number = occurrence_test(value.get());
    if (!number) return self().stop(std::move(number.error()));
    if (!*number) return self().fail(Rule::Occurrence, KeyId::Occurrence, at);
    out = **number;
    return Step::Passed;
  }

  static NodeHandle known_node(const Ref&) noexcept { return {}; }
  static bool defers_validation() noexcept { return false; }

 private:
  Self& self() noexcept { return static_cast<Self&>(*this); }
  Keys& keys_;
};

// The conversion's reader: the first failed check is the call's error.
//
// The input's own three entries are read as it starts, without lookups, where
// its keys are all plain str (as the read-ahead reads items), and held: of
// the checks before they are used, only the schema's string test can run the
// caller's code, and its exception ends the call.
class Conversion : public Lookups<Conversion> {
 public:
  Conversion(Keys& keys, PyObject* input);

  Step entry(const Ref& mapping, KeyId key, Rule missing, const Place& at, Ref& out) {
    const std::size_t k = static_cast<std::size_t>(key) - static_cast<std::size_t>(KeyId::Schema);
    if (mapping.get() != input_ || k >= top_.size()) return Lookups::entry(mapping, key, missing, at, out);
    if (!top_[k]) return fail(missing, key, at);
    out = Ref::borrow(top_[k].get());
    return Step::Passed;
  }

  Step fail(Rule rule, KeyId key, const Place&) { return stop(std::move(rule_error(rule, key).error())); }
  Step stop(Failure&& failure) {
    failure_ = std::move(failure);
    return Step::Stopped;
  }
  static bool go_on() noexcept { return false; }
  static void item(const Place&) noexcept {}

  // The failure a check stopped at.
  [[nodiscard]] std::unexpected<Failure> failure() { return std::unexpected(std::move(*failure_)); }

 private:
  std::optional<Failure> failure_;
  PyObject* input_ = nullptr;  // whose entries were read: schema, nodes, edges
  std::array<Ref, 3> top_;
};

// The composition digest of the manifest mapping `input`, or the first failure.
[[nodiscard]] Result<CompositionSha256> hash_manifest(PyObject* input);

}  // namespace vela_sha::py
