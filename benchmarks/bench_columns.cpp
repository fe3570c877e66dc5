// Throughput of the descriptor walk into the core's sinks, without Python:
// a counting sink (the walk alone), the ColumnSink and the MatrixSink.
//
//   build/<dir>/bench_columns [--repeat N] FILE...
//
// Tables come from the ecCodes definitions under /usr/share/eccodes/definitions
// (one table set per distinct table version of the messages, each with its
// plan cache, as a caller that keeps its tables would hold them). Figures are
// the best of N runs over all messages of a file, in values per second, a
// value being one record of the flat list.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "columns/column_sink.hpp"
#include "data/decode.hpp"
#include "data/plan.hpp"
#include "message/message.hpp"
#include "tables/eccodes.hpp"

namespace {

using namespace vantrel;

const char* const DEFINITIONS = "/usr/share/eccodes/definitions";

// Counts the records a walk produces, expanding uniform columns.
class CountingSink final : public ValueSink {
 public:
  explicit CountingSink(std::uint32_t subsets) : subsets_(subsets) {}
  std::uint64_t count = 0;
  bool begin_column(const ColumnInfo& column) override {
    weight_ = column.uniform ? subsets_ : 1;
    return true;
  }
  bool end_column() override {
    weight_ = 1;
    return true;
  }
  bool numeric(Place, const ElementDefinition&, std::uint64_t, const std::optional<double>&, const std::string*) override {
    count += weight_;
    return true;
  }
  bool character(Place, const ElementDefinition&, double, std::optional<std::string_view>) override {
    count += weight_;
    return true;
  }
  bool associated_field(Place, std::uint64_t) override {
    count += weight_;
    return true;
  }
  bool operator_record(Place, std::uint32_t) override {
    count += weight_;
    return true;
  }
  bool operator_text(Place, std::uint32_t, std::optional<std::string_view>) override {
    count += weight_;
    return true;
  }

 private:
  std::uint32_t subsets_;
  std::uint64_t weight_ = 1;
};

struct Loaded {
  std::vector<std::uint8_t> bytes;
  std::vector<Bytes> slices;
  std::vector<BufrMessage> messages;
  std::vector<std::size_t> table_of;  // per message: index into tables
  std::vector<std::unique_ptr<TableSet>> tables;
  std::vector<std::unique_ptr<PlanCache>> plans;
};

bool load(const char* path, Loaded& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  auto slices = split_messages(out.bytes);
  if (!slices) return false;
  std::map<std::tuple<int, int, int, int, int>, std::size_t> by_version;
  for (Bytes slice : *slices) {
    auto message = parse_message(slice);
    if (!message) return false;
    const auto key = std::make_tuple(message->master_table_number, message->master_tables_version_number,
                                     message->originating_centre, message->originating_subcentre,
                                     message->local_tables_version_number);
    auto it = by_version.find(key);
    if (it == by_version.end()) {
      auto tables = from_eccodes_definitions(DEFINITIONS, *message);
      if (!tables) {
        std::fprintf(stderr, "%s: %s\n", path, tables.error().message().c_str());
        return false;
      }
      out.tables.push_back(std::make_unique<TableSet>(std::move(*tables)));
      out.plans.push_back(std::make_unique<PlanCache>(*out.tables.back()));
      it = by_version.emplace(key, out.tables.size() - 1).first;
    }
    out.slices.push_back(slice);
    out.messages.push_back(std::move(*message));
    out.table_of.push_back(it->second);
  }
  return true;
}

template <class Run>
double best_seconds(int repeat, Run&& run) {
  double best = 1e300;
  for (int r = 0; r < repeat; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    best = std::min(best, elapsed.count());
  }
  return best;
}

void check(const Status& status) {
  if (!status) {
    std::fprintf(stderr, "decode failed: %s\n", status.error().message().c_str());
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int repeat = 5;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--repeat" && i + 1 < argc) {
      repeat = std::atoi(argv[++i]);
    } else {
      files.push_back(argv[i]);
    }
  }
  for (const char* path : files) {
    Loaded file;
    if (!load(path, file)) {
      std::fprintf(stderr, "%s: cannot load\n", path);
      return 1;
    }
    const std::size_t n = file.messages.size();
    auto data = [&](std::size_t i) { return file.messages[i].section4_data(file.slices[i]); };
    auto tables = [&](std::size_t i) -> const TableSet& { return *file.tables[file.table_of[i]]; };
    auto plans = [&](std::size_t i) { return file.plans[file.table_of[i]].get(); };

    std::uint64_t values = 0;
    const double counting = best_seconds(repeat, [&] {
      values = 0;
      for (std::size_t i = 0; i < n; ++i) {
        CountingSink sink(file.messages[i].number_of_subsets);
        check(decode_message_values(file.messages[i], tables(i), data(i), sink, Rules::Wmo, DecodeLimits{}, plans(i)));
        values += sink.count;
      }
    });
    ColumnSink columns;
    std::uint64_t rows = 0;
    const double column_seconds = best_seconds(repeat, [&] {
      rows = 0;
      for (std::size_t i = 0; i < n; ++i) {
        check(decode_columns(file.messages[i], tables(i), data(i), columns, Rules::Wmo, DecodeLimits{}, plans(i)));
        rows += columns.columns().rows();
        RecordColumns taken = columns.take();  // a binding takes each message's vectors
      }
    });
    MatrixSink matrix;
    std::uint64_t cells = 0;
    std::size_t regular = 0;
    const double matrix_seconds = best_seconds(repeat, [&] {
      cells = 0;
      regular = 0;
      for (std::size_t i = 0; i < n; ++i) {
        check(decode_matrix(file.messages[i], tables(i), data(i), matrix, Rules::Wmo, DecodeLimits{}, plans(i)));
        if (matrix.regular()) {
          ++regular;
          cells += matrix.values().size();
        }
      }
    });
    if (rows != values) {
      std::fprintf(stderr, "%s: column sink rows %llu != counted values %llu\n", path,
                   static_cast<unsigned long long>(rows), static_cast<unsigned long long>(values));
      return 1;
    }
    std::printf("%s: %zu messages, %llu values\n", path, n, static_cast<unsigned long long>(values));
    std::printf("  counting sink %8.2f ms %8.1f M values/s\n", counting * 1e3, values / counting / 1e6);
    std::printf("  column sink   %8.2f ms %8.1f M values/s\n", column_seconds * 1e3, values / column_seconds / 1e6);
    std::printf("  matrix        %8.2f ms %8.1f M values/s (%zu of %zu messages regular, %llu cells)\n",
                matrix_seconds * 1e3, cells / matrix_seconds / 1e6, regular, n,
                static_cast<unsigned long long>(cells));
  }
  return 0;
}
