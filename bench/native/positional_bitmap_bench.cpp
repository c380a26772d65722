// PositionalBitmap matches over 1M short skewed strings (cities, names, emails), next to a 1M-id bitmap copy.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <string_view>
#include <random>
#include <string>
#include <vector>

#include "index/core/structures/positional_bitmap/positional_bitmap.hpp"

namespace vostrel {
namespace {

constexpr uint32_t IDS = 1'000'000;

const std::vector<std::string> CITIES = {
    "London", "Berlin", "Madrid", "Paris", "Rome", "Hamburg", "Vienna", "Warsaw", "Budapest", "Munich",
    "Milan", "Prague", "Sofia", "Brussels", "Barcelona", "Birmingham", "Cologne", "Naples", "Turin", "Marseille",
    "Stockholm", "Valencia", "Amsterdam", "Krakow", "Seville", "Zaragoza", "Frankfurt", "Palermo", "Athens",
    "Rotterdam", "Helsinki", "Stuttgart", "Dusseldorf", "Copenhagen", "Leipzig", "Dortmund", "Essen", "Genoa",
    "Gothenburg", "Malaga", "Dublin", "Bremen", "Sheffield", "Dresden", "Antwerp", "San Sebastian", "Santander",
    "San Marino", "Saint-Etienne", "Sankt Gallen", "Nuremberg", "Duisburg", "Lisbon", "Porto", "Riga", "Vilnius",
    "Tallinn", "Bratislava", "Ljubljana", "Zagreb", "Belgrade", "Bucharest", "Cluj-Napoca", "Thessaloniki",
    "Z\xc3\xbcrich", "K\xc3\xb8" "benhavn", "Malm\xc3\xb6", "Gda\xc5\x84sk", "Wroc\xc5\x82" "aw", "Bordeaux"};
const std::vector<std::string> FIRST = {
    "Maria", "John", "Anna", "James", "Joanna", "Michael", "Emma", "David", "Sofia", "Robert", "Olivia", "Daniel",
    "Ana", "Jose", "Laura", "Thomas", "Julia", "Peter", "Hannah", "Paul", "Elena", "Mark", "Sara", "Luca", "Marta",
    "Jonas", "Lena", "Pierre", "Chloe", "Jan", "Eva", "Carlos", "Ines", "Andrei", "Ioana", "Nikos", "Zo\xc3\xab",
    "Ren\xc3\xa9", "Bj\xc3\xb6rn", "J\xc3\xbcrgen"};
const std::vector<std::string> LAST = {
    "Smith", "Garcia", "Muller", "Rossi", "Martin", "Kowalski", "Novak", "Silva", "Jones", "Brown", "Fischer",
    "Weber", "Lopez", "Dubois", "Ricci", "Nagy", "Horvat", "Jansen", "Berg", "Popescu", "Costa", "Wagner",
    "Moreau", "Hansen", "Nowak", "Papadopoulos", "Schmidt", "Bianchi", "Ferrari", "Johansson", "Santos"};
const std::vector<std::string> DOMAINS = {"gmail.com", "yahoo.com", "mail.de", "web.de", "gmx.net", "orange.fr"};

// Zipf-like pick: index i drawn with weight 1 / (i + 1).
class Skewed {
 public:
  Skewed(size_t n, std::mt19937& rng) : rng_(rng) {
    std::vector<double> w(n);
    for (size_t i = 0; i < n; ++i) w[i] = 1.0 / static_cast<double>(i + 1);
    dist_ = std::discrete_distribution<size_t>(w.begin(), w.end());
  }
  size_t operator()() { return dist_(rng_); }

 private:
  std::mt19937& rng_;
  std::discrete_distribution<size_t> dist_;
};

// A bulk writer's buffers: ids per (position, key), handed to the structure 32 at a time. The row is widened for
// the longest string first, so placements do not move while ids wait.
class BulkFill {
 public:
  static constexpr size_t BUFFER_IDS = 32;

  BulkFill(PositionalBitmap& target, const std::vector<std::string>& strings) : target_(target) {
    size_t longest = 0;
    for (const std::string& s : strings) longest = std::max(longest, s.size());
    target_.expand_map(longest);
    for (uint32_t id = 0; id < strings.size(); ++id) add(strings[id], id);
    for (auto& [where, ids] : buffers_) target_.add_many(where.first, where.second, ids.data(), ids.size());
  }

 private:
  void add(std::string_view s, uint32_t id) {
    if (s.empty()) {
      target_.add_many_empty(&id, 1);
      return;
    }
    const size_t p = PositionalBitmap::start(target_.positions(), s.size());
    queue(p, CharacterMap::BOUNDARY, id);
    for (size_t j = 0; j < s.size(); ++j) queue(p + j, static_cast<unsigned char>(s[j]), id);
    if (s.size() > 1) queue(p + s.size() - 1, CharacterMap::BOUNDARY, id);
  }
  void queue(size_t position, unsigned key, uint32_t id) {
    std::vector<uint32_t>& buffer = buffers_[{position, key}];
    buffer.push_back(id);
    if (buffer.size() == BUFFER_IDS) {
      target_.add_many(position, key, buffer.data(), buffer.size());
      buffer.clear();
    }
  }

  PositionalBitmap& target_;
  std::map<std::pair<size_t, unsigned>, std::vector<uint32_t>> buffers_;
};

struct Dataset {
  PositionalBitmap cities, names, emails;
  Bitmap all_ids, half_a, half_b;

  Dataset() {
    std::mt19937 rng(42);
    Skewed city(CITIES.size(), rng), first(FIRST.size(), rng), last(LAST.size(), rng), domain(DOMAINS.size(), rng);
    std::vector<std::string> city_of(IDS), name_of(IDS), email_of(IDS);
    for (uint32_t id = 0; id < IDS; ++id) {
      city_of[id] = CITIES[city()];
      const std::string& f = FIRST[first()];
      const std::string& l = LAST[last()];
      std::string name = f;
      name.append(" ").append(l);
      name_of[id] = std::string_view(name).substr(0, 20);
      std::string email(1, f[0]);
      email.append(l, 0, 6).append(std::to_string(rng() % 100));
      for (char& c : email) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      email.append("@").append(DOMAINS[domain()]);
      email_of[id] = email;
    }
    BulkFill{cities, city_of};
    BulkFill{names, name_of};
    BulkFill{emails, email_of};
    std::vector<uint32_t> every(IDS);
    std::iota(every.begin(), every.end(), 0u);
    all_ids.addMany(every.size(), every.data());  // dense bitset containers, as a full result would be
    for (uint32_t id = 0; id < IDS; ++id) {
      uint32_t coin = rng();
      if (coin & 1) half_a.add(id);
      if (coin & 2) half_b.add(id);
    }
  }
};

const Dataset& dataset() {
  static const Dataset data;
  return data;
}

void BM_CopyBitmap1M(benchmark::State& state) {
  const Bitmap& all = dataset().all_ids;
  for (auto _ : state) {
    Bitmap copy = all;
    benchmark::DoNotOptimize(copy);
  }
}
BENCHMARK(BM_CopyBitmap1M);

// One intersection of two random halves of the 1M ids: the unit a match is made of.
void BM_AndBitmaps1M(benchmark::State& state) {
  const Dataset& data = dataset();
  for (auto _ : state) {
    Bitmap r = data.half_a & data.half_b;
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_AndBitmaps1M);

enum Kind { EXACT, PREFIX, SUFFIX, SUBSTRING };

void run(benchmark::State& state, Kind kind, const PositionalBitmap Dataset::*attr, const char* query) {
  const PositionalBitmap& pb = dataset().*attr;
  uint64_t found = 0;
  for (auto _ : state) {
    Bitmap r = kind == EXACT    ? pb.exact(query)
               : kind == PREFIX ? pb.prefix(query)
               : kind == SUFFIX ? pb.suffix(query)
                                : pb.substring(query);
    found = r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.counters["found"] = static_cast<double>(found);
  state.counters["positions"] = static_cast<double>(pb.positions());
}

void BM_Exact(benchmark::State& s, const PositionalBitmap Dataset::*a, const char* q) { run(s, EXACT, a, q); }
void BM_Prefix(benchmark::State& s, const PositionalBitmap Dataset::*a, const char* q) { run(s, PREFIX, a, q); }
void BM_Suffix(benchmark::State& s, const PositionalBitmap Dataset::*a, const char* q) { run(s, SUFFIX, a, q); }
void BM_Substring(benchmark::State& s, const PositionalBitmap Dataset::*a, const char* q) { run(s, SUBSTRING, a, q); }

BENCHMARK_CAPTURE(BM_Exact, city_Berlin, &Dataset::cities, "Berlin");
BENCHMARK_CAPTURE(BM_Exact, name_Maria_Garcia, &Dataset::names, "Maria Garcia");
BENCHMARK_CAPTURE(BM_Prefix, city_San, &Dataset::cities, "San");
BENCHMARK_CAPTURE(BM_Prefix, name_Jo, &Dataset::names, "Jo");
BENCHMARK_CAPTURE(BM_Prefix, name_M, &Dataset::names, "M");
BENCHMARK_CAPTURE(BM_Prefix, email_jsmith, &Dataset::emails, "jsmith");
BENCHMARK_CAPTURE(BM_Suffix, email_gmail, &Dataset::emails, "@gmail.com");
BENCHMARK_CAPTURE(BM_Suffix, city_burg, &Dataset::cities, "burg");
BENCHMARK_CAPTURE(BM_Substring, name_ann, &Dataset::names, "ann");
BENCHMARK_CAPTURE(BM_Substring, name_a, &Dataset::names, "a");
BENCHMARK_CAPTURE(BM_Substring, email_ller, &Dataset::emails, "ller");
BENCHMARK_CAPTURE(BM_Substring, city_ue_utf8, &Dataset::cities, "\xc3\xbc");
BENCHMARK_CAPTURE(BM_Substring, email_missing, &Dataset::emails, "qqq");

}  // namespace
}  // namespace vostrel
