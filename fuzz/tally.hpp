// An output policy for the engine fuzz targets: builds nothing but a count of the values it
// was handed, so a target can check that the walk builds exactly when it finds no issue.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "json.hpp"
#include "validate.hpp"

struct Tally {
  struct Value {
    std::uint64_t values = 0;
    bool made = false;
    explicit operator bool() const { return made; }
  };
  static constexpr bool builds = true;
  using Ref = vorn::json::Ref;

  std::uint64_t total = 0;

  Value one() {
    ++total;
    return Value{1, true};
  }
  Value none() { return one(); }
  Value scalar(const Ref&) { return one(); }
  Value string(const Ref&, vorn::TextOnce<Ref>&) { return one(); }
  Value enum_value(const Ref&, const std::string&) { return one(); }
  Value tag_value(const Ref&, const vorn::Variant&) { return one(); }
  Value date(const Ref&, std::string_view, bool) { return one(); }
  bool keeps(const Ref&, const vorn::Type&) const { return false; }
  Value same(const Ref&) { return one(); }
  void unreadable(const Ref&, std::uint64_t) {}
  bool counted(const Ref&) const { return true; }
  Value list(std::uint64_t) { return one(); }
  Value dict() { return one(); }
  // Prefilled whenever the payload could hold every field, so the fuzzers reach leave_out.
  static bool prefills(const vorn::ObjectType& o, std::uint64_t members) {
    return members >= o.fields.size();
  }
  Value dict(const vorn::ObjectType&) { return one(); }
  bool leave_out(Value&, const vorn::Field&) { return true; }
  template <class In>
  static constexpr bool holds_input = false;
  bool set_item(Value& list, std::uint64_t, Value&& v) { return add(list, v); }
  bool set_field(Value& dict, const vorn::Field&, Value&& v) { return add(dict, v); }
  bool set_tag(Value& dict, const vorn::UnionType&, Value&& v) { return add(dict, v); }
  bool set_member(Value& dict, const Ref::Key&, Value&& v) { return add(dict, v); }
  void failed_at(vorn::Path&&) {}

 private:
  static bool add(Value& into, const Value& v) {
    into.values += v.values;
    return true;
  }
};

// Walks `root` once checking only and once building: both must find the same issues, and
// the building walk must give a result exactly when there is none.
inline vorn::IssueList check_both_walks(const vorn::Schema& schema, std::string_view name,
                                        const vorn::json::Ref& root, const vorn::Limits& limits,
                                        void (*check)(bool)) {
  vorn::IssueList issues = vorn::validate(schema, name, root, limits);
  Tally tally;
  vorn::IssueList built_issues;
  const Tally::Value result =
      vorn::walk(schema, vorn::resolve_root(schema, name), root, limits, tally, built_issues);
  check(built_issues.size() == issues.size());
  check(static_cast<bool>(result) == issues.empty());
  return issues;
}
