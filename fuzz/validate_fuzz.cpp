// libFuzzer entry point for parse plus validate: a fixed schema that uses every construct,
// and the input as a JSON payload under limits picked by its first byte. Validation must
// terminate with issues whose paths stay within the depth bound, and a run without issues
// must find the object type its output is built for.
// Built with VORN_FUZZ=ON under clang.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json.hpp"
#include "parser.hpp"
#include "tally.hpp"
#include "validate.hpp"

namespace {

constexpr std::string_view schema_text = R"(
schema Item { id: u64 @range(1..=100) name: String @min_len(1) @max_len(8)
              at: optional DateTime? day: optional Date tags: [String?] @max_items(4)
              mail: optional String @format(email) host: optional String @format(hostname)
              v6: optional String @format(ipv6) id4: optional String @format(uuid)
              v4: optional String @format(ipv4)
              color: optional enum { red, green } score: optional f64 small: optional i8 }
schema Circle { r: f64 @range(-5..=5) }
schema Wide { a: optional i64 b: optional u32 c: optional i16 d: optional u8 e: optional bool
              grid: optional [[i32?]] @min_items(1) odd: optional String @min_items(2) }
schema Node { kids: [Node] item: optional Item shape: optional Shape wide: optional Wide?
              ring: optional Circle? labels: optional [String: u8?] @max_items(3)
              meta: optional Json? roles: optional [enum { red, green }: [Node]] }
union Shape @tag(kind) { circle: Circle node: Node wide: Wide }
)";

void check(bool ok) {
  if (!ok) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const vorn::Schema schema = std::move(vorn::parse(schema_text).value());
  if (size == 0) {
    return 0;
  }
  vorn::Limits limits;
  limits.max_depth = data[0] & 0x3Fu;
  limits.max_items = (data[0] >> 6) == 0 ? 3 : 10000;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto document = vorn::json::Document::parse(text, limits);
  if (!document) {
    return 0;
  }
  for (std::string_view root : {"Node", "Shape", "Item", "Wide"}) {
    const vorn::json::Ref top = document.value().root();
    vorn::IssueList issues = check_both_walks(schema, root, top, limits, check);
    for (const vorn::Issue& issue : issues) {
      check(issue.path.segments.size() <= limits.max_depth + 2);
      check(!issue.message.empty());
    }
  }
  return 0;
}
