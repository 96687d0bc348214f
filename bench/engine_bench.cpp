// The engine alone, with no Python: parse throughput and check-only throughput for each
// document that `python bench/compare.py --write-docs DIR` wrote (DIR/<name>.json, its
// schema in DIR/<name>.schema, its root type and limits in DIR/<name>.meta).
//   engine_bench DIR [SAMPLES]
// Each figure is the best of SAMPLES samples (default 40) of about 5 ms. "check" walks an
// already parsed document with the CheckOnly policy, so it counts neither the parse nor any
// output; "both" is parse plus check, what the bytes road pays before building.
// Built with -DVORN_BENCH=ON.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "json.hpp"
#include "parser.hpp"
#include "validate.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string text(static_cast<std::size_t>(std::max<std::streamoff>(0, in.tellg())), '\0');
  in.seekg(0);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  return text;
}

struct Workload {
  std::string name;
  std::string json;
  std::string schema_text;
  std::string root;
  vorn::Limits limits;
};

// <name>.meta: "root NAME" and optionally "max_object_keys N", "max_items N", one a line.
Workload load(const fs::path& json_path) {
  Workload w;
  w.name = json_path.stem().string();
  w.json = read_file(json_path);
  fs::path base = json_path;
  w.schema_text = read_file(base.replace_extension(".schema"));
  std::istringstream meta(read_file(base.replace_extension(".meta")));
  std::string key;
  std::uint64_t number = 0;
  while (meta >> key) {
    if (key == "root") {
      meta >> w.root;
      continue;
    }
    meta >> number;
    if (key == "max_object_keys") {
      w.limits.max_object_keys = number;
    } else if (key == "max_items") {
      w.limits.max_items = number;
    }
  }
  return w;
}

volatile std::uint64_t sink = 0;  // keeps every timed call's result alive

// Seconds per call of `f`: calibrated to about 5 ms a sample, best of `samples`.
template <class F>
double best_seconds(F&& f, int samples) {
  std::uint64_t n = 1;
  for (;;) {
    Clock::time_point start = Clock::now();
    for (std::uint64_t i = 0; i < n; ++i) {
      sink = sink + f();
    }
    double took = std::chrono::duration<double>(Clock::now() - start).count();
    if (took > 0.002) {
      n = std::max<std::uint64_t>(
          1, static_cast<std::uint64_t>(static_cast<double>(n) * 0.005 / took));
      break;
    }
    n *= 10;
  }
  double best = 1e30;
  for (int s = 0; s < samples; ++s) {
    Clock::time_point start = Clock::now();
    for (std::uint64_t i = 0; i < n; ++i) {
      sink = sink + f();
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best / static_cast<double>(n);
}

// One line: bytes, then GB/s and microseconds per call for parse, check and both.
bool run(const Workload& w, int samples) {
  vorn::Result<vorn::Schema, vorn::ParseError> schema = vorn::parse(w.schema_text);
  if (!schema) {
    std::fprintf(stderr, "%s: schema: %s\n", w.name.c_str(), schema.error().text().c_str());
    return false;
  }
  const vorn::Root root = vorn::resolve_root(schema.value(), w.root);
  auto document = vorn::json::Document::parse(w.json, w.limits);
  if (!document) {
    std::fprintf(stderr, "%s: JSON: %s\n", w.name.c_str(), document.error().text().c_str());
    return false;
  }
  auto check = [&](const vorn::json::Ref& top) {
    vorn::CheckOnly out;
    vorn::IssueList issues;
    vorn::walk(schema.value(), root, top, w.limits, out, issues);
    return issues.size();
  };
  const vorn::json::Ref top = document.value().root();
  const std::uint64_t issues = check(top);
  double parse = best_seconds(
      [&] {
        auto d = vorn::json::Document::parse(w.json, w.limits);
        return static_cast<std::uint64_t>(d.has_value());
      },
      samples);
  double walk = best_seconds([&] { return check(top); }, samples);
  double both = best_seconds(
      [&] {
        auto d = vorn::json::Document::parse(w.json, w.limits);
        return d ? check(d.value().root()) : 0;
      },
      samples);
  const double bytes = static_cast<double>(w.json.size());
  std::printf("%-40s %9zu %7.2f %9.2f %7.2f %9.2f %7.2f %9.2f%s\n", w.name.c_str(), w.json.size(),
              bytes / parse / 1e9, parse * 1e6, bytes / walk / 1e9, walk * 1e6, bytes / both / 1e9,
              both * 1e6, issues != 0 ? "  (rejected)" : "");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr,
                 "usage: engine_bench DIR [SAMPLES]  (DIR from bench/compare.py --write-docs)\n");
    return 2;
  }
  const int samples = argc > 2 ? std::max(1, std::atoi(argv[2])) : 40;
  std::vector<fs::path> paths;
  for (const fs::directory_entry& entry : fs::directory_iterator(argv[1])) {
    if (entry.path().extension() == ".json") {
      paths.push_back(entry.path());
    }
  }
  std::sort(paths.begin(), paths.end());
  std::printf("%-40s %9s %17s %17s %17s\n", "", "", "parse", "check only", "parse + check");
  std::printf("%-40s %9s %7s %9s %7s %9s %7s %9s\n", "document", "bytes", "GB/s", "us", "GB/s",
              "us", "GB/s", "us");
  bool ok = !paths.empty();
  for (const fs::path& path : paths) {
    ok = run(load(path), samples) && ok;
  }
  return ok ? 0 : 1;
}
