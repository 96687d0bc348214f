// libFuzzer entry point for an arbitrary schema and an arbitrary payload together. The input
// is the limits byte, the schema text, a NUL byte, then the JSON payload; the payload is
// validated against every type the schema declares, and against one it does not. A run that
// finds no issue must find the object type its output is built for.
// Built with VORN_FUZZ=ON under clang.
#include <cstddef>
#include <cstdint>
#include <cstring>  // std::memchr
#include <string_view>

#include "json.hpp"
#include "parser.hpp"
#include "tally.hpp"
#include "validate.hpp"

namespace {

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

// The root types tried per input: enough to reach every declaration of a small schema
// without letting one input with hundreds of types dominate the run.
constexpr std::size_t max_roots = 8;

void run(const vorn::Schema& schema, std::string_view name, const vorn::json::Ref& root,
         const vorn::Limits& limits) {
  const vorn::IssueList issues = check_both_walks(schema, name, root, limits, check);
  const std::uint64_t depth = limits.max_depth < 256 ? limits.max_depth : 256;
  for (const vorn::Issue& issue : issues) {
    check(issue.path.segments.size() <= depth + 2);
    check(!issue.message.empty());
  }
  if (!issues.empty() && !schema.declares(name)) {
    check(issues.size() == 1 && issues[0].code == vorn::Code::unknown_type);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  vorn::Limits limits = vorn::default_limits;
  const std::uint8_t pick = data[0];
  if ((pick & 0x80) != 0) {
    limits.max_depth = pick & 0x0F;
    limits.max_items = (pick >> 4) & 0x03;
    limits.max_string_bytes = 16;
    limits.max_object_keys = 4;
  }
  const char* begin = reinterpret_cast<const char*>(data) + 1;
  const std::size_t rest = size - 1;
  const void* nul = std::memchr(begin, 0, rest);
  if (nul == nullptr) {
    return 0;
  }
  const std::size_t schema_len = static_cast<std::size_t>(static_cast<const char*>(nul) - begin);
  const std::string_view schema_text(begin, schema_len);
  const std::string_view payload(begin + schema_len + 1, rest - schema_len - 1);
  auto schema = vorn::parse(schema_text);
  if (!schema) {
    return 0;
  }
  auto document = vorn::json::Document::parse(payload, limits);
  if (!document) {
    return 0;
  }
  const vorn::Schema& s = schema.value();
  const vorn::json::Ref root = document.value().root();
  std::size_t tried = 0;
  for (const auto& [name, object] : s.objects) {
    if (tried++ == max_roots) {
      break;
    }
    run(s, name, root, limits);
  }
  for (const auto& [name, u] : s.unions) {
    if (tried++ == 2 * max_roots) {
      break;
    }
    run(s, name, root, limits);
  }
  run(s, "NotDeclared_", root, limits);
  return 0;
}
