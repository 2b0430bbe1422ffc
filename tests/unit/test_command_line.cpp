#include <gtest/gtest.h>
#include <omp.h>

#include <filesystem>
#include <string>
#include <vector>

#include "command_line.hpp"
#include "test_util.hpp"

namespace {

// An argument vector as main receives it; argument 0 is the program name.
class Argv {
public:
  Argv(std::initializer_list<std::string> args) : texts_{"corvane"} {
    texts_.insert(texts_.end(), args.begin(), args.end());
    for (std::string& t : texts_) pointers_.push_back(&t[0]);
    pointers_.push_back(nullptr);
  }
  char** argv() { return pointers_.data(); }
  int argc() const { return static_cast<int>(texts_.size()); }

private:
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

struct Parsed {
  Flags flags;
  Parameters par;
  std::string error;  // empty when parsing and checking passed
};

Parsed parse(std::initializer_list<std::string> args) {
  Argv a(args);
  Parsed r;
  try {
    parseOptions(a.argv(), a.argc(), r.flags, r.par);
  } catch (const std::string& message) {
    r.error = message;
  }
  return r;
}

// Parse and check, as the entry point does; returns the option error or "".
std::string check(std::initializer_list<std::string> args) {
  Parsed r = parse(args);
  if (!r.error.empty()) return r.error;
  try {
    checkOptions(r.flags, r.par);
  } catch (const std::string& message) {
    return message;
  }
  return "";
}

const std::string not_positive_int(const std::string& option) {
  return "Error: A positive integer value must be supplied after '" + option + "'!";
}

// ---- parsing ----

TEST(ParseOptions, NoArgumentsKeepsDefaults) {
  Parsed r = parse({});
  EXPECT_TRUE(r.error.empty());
  EXPECT_FALSE(r.flags.bgen || r.flags.bcor || r.flags.help);
  EXPECT_EQ(r.par.n_threads, 0);
  EXPECT_EQ(r.par.n_variants_chunk, 1000);
  EXPECT_EQ(r.par.variant_window_size, 5000000);
  EXPECT_DOUBLE_EQ(r.par.ld_thold, 0.001);
  EXPECT_DOUBLE_EQ(r.par.ld_n_samples_avail_prop, 0.1);
  EXPECT_TRUE(r.par.incl_range.empty());
  EXPECT_TRUE(r.par.accuracy.empty());
}

TEST(ParseOptions, GuardsIgnoreOptionsBeforeTheirPrerequisites) {
  Parsed r = parse({"--samples", "s", "--bgen", "g", "--bcor", "b"});
  EXPECT_FALSE(r.flags.samples);
  EXPECT_TRUE(r.par.samples.empty());

  r = parse({"--bgen", "g", "--ld-n-samples-avail-prop", "0.5", "--bcor", "b"});
  EXPECT_FALSE(r.flags.ld_n_samples_avail_prop);
  EXPECT_DOUBLE_EQ(r.par.ld_n_samples_avail_prop, 0.1);
  r = parse({"--bgen", "g", "--bcor", "b", "--ld-n-samples-avail-prop", "0.5"});
  EXPECT_DOUBLE_EQ(r.par.ld_n_samples_avail_prop, 0.5);

  r = parse({"--bcor", "b", "--merge", "4", "--meta", "m"});
  EXPECT_TRUE(r.flags.merge);
  EXPECT_FALSE(r.flags.meta);
  EXPECT_EQ(r.par.n_threads, 4);

  r = parse({"--matrix", "m", "--bcor", "b", "--incl-variants", "v"});
  EXPECT_FALSE(r.flags.matrix);
  EXPECT_FALSE(r.flags.incl_variants);

  r = parse({"--n-threads", "2", "--bplink", "p", "--n-variants-chunk", "7"});
  EXPECT_FALSE(r.flags.n_threads);
  EXPECT_TRUE(r.flags.n_variants_chunk);
  EXPECT_EQ(r.par.n_variants_chunk, 7);

  r = parse({"-h", "--bcor", "b", "--bgen", "g", "--incl-range", "1-2"});
  EXPECT_TRUE(r.flags.help);
  EXPECT_FALSE(r.flags.bcor || r.flags.bgen || r.flags.incl_range);

  r = parse({"--bcor", "b", "--matrix", "m", "--table", "t"});
  EXPECT_TRUE(r.flags.matrix);
  EXPECT_FALSE(r.flags.table);

  r = parse({"--bcor", "b", "--ld-thold", "0.3"});  // --ld-thold also after --bcor alone
  EXPECT_DOUBLE_EQ(r.par.ld_thold, 0.3);
  r = parse({"--ld-thold", "0.3", "--bcor", "b"});
  EXPECT_FALSE(r.flags.ld_thold);
}

TEST(ParseOptions, StringOptionsAndValuesThatAreOptions) {
  Parsed r = parse({"--bcor", "b", "--bgen"});
  EXPECT_TRUE(r.flags.bgen);
  EXPECT_TRUE(r.par.bgen.empty());

  r = parse({"--bcor", "--bgen", "g"});
  EXPECT_EQ(r.par.bcor, "--bgen");
  EXPECT_TRUE(r.flags.bgen);
  EXPECT_EQ(r.par.bgen, "g");

  r = parse({"--bcor", "--help"});
  EXPECT_EQ(r.par.bcor, "--help");
  EXPECT_TRUE(r.flags.help);

  r = parse({"--bcor", "a", "--bcor", "b", "--bplink", "p", "--accuracy", "anything"});
  EXPECT_EQ(r.par.bcor, "b");
  EXPECT_EQ(r.par.accuracy, "anything");  // the word is checked later, by checkOptions

  r = parse({"--bplink", "p", "--incl-samples", "i", "--n-threads", "3", "--variant-window-size", "100"});
  EXPECT_EQ(r.par.incl_samples, "i");
  EXPECT_EQ(r.par.n_threads, 3);
  EXPECT_EQ(r.par.variant_window_size, 100);
}

TEST(ParseOptions, IntegerValues) {
  EXPECT_EQ(parse({"--bgen", "g", "--n-variants-chunk", "1e3"}).par.n_variants_chunk, 1000);
  EXPECT_EQ(parse({"--bgen", "g", "--n-variants-chunk", "1000.0"}).par.n_variants_chunk, 1000);
  EXPECT_EQ(parse({"--bgen", "g", "--n-variants-chunk", "2147483647"}).par.n_variants_chunk, 2147483647);
  for (const char* bad : {"0", "-5", "2.5", "10x", "nan", "", "abc"}) {
    EXPECT_EQ(parse({"--bgen", "g", "--n-variants-chunk", bad}).error, not_positive_int("--n-variants-chunk"))
        << bad;
  }
  EXPECT_EQ(parse({"--bgen", "g", "--n-threads"}).error, not_positive_int("--n-threads"));
  EXPECT_EQ(parse({"--bcor", "b", "--merge", "x"}).error, not_positive_int("--merge"));
}

TEST(ParseOptions, IntegersThatDoNotFitAreRefused) {
  const std::string too_large =
      "Error: The value after '--variant-window-size' must not be greater than 2147483647!";
  for (const char* big : {"2147483648", "1e12", "inf"}) {
    EXPECT_EQ(parse({"--bplink", "p", "--variant-window-size", big}).error, too_large) << big;
  }
}

TEST(ParseOptions, ThresholdValues) {
  const std::string unreadable =
      "Error: A decimal value between 0.000000 and 1.000000 must be supplied after '--ld-thold'!";
  const std::string outside = "Error: '--ld-thold' must be a decimal value between 0. and 1.0!";
  EXPECT_DOUBLE_EQ(parse({"--bgen", "g", "--ld-thold", "1"}).par.ld_thold, 1.0);
  EXPECT_DOUBLE_EQ(parse({"--bgen", "g", "--ld-thold", "0"}).par.ld_thold, 0.0);
  EXPECT_DOUBLE_EQ(parse({"--bgen", "g", "--ld-thold", ""}).par.ld_thold, 0.0);
  EXPECT_EQ(parse({"--bgen", "g", "--ld-thold", "1.5"}).error, outside);
  EXPECT_EQ(parse({"--bgen", "g", "--ld-thold", "-0.1"}).error, outside);
  EXPECT_EQ(parse({"--bgen", "g", "--ld-thold", "nan"}).error, outside);
  EXPECT_EQ(parse({"--bgen", "g", "--ld-thold", "abc"}).error, unreadable);
  EXPECT_EQ(parse({"--bgen", "g", "--ld-thold"}).error, unreadable);
  EXPECT_EQ(parse({"--bcor", "b", "--ld-n-samples-avail-prop", "2"}).error,
            "Error: '--ld-n-samples-avail-prop' must be a decimal value between 0. and 1.0!");
}

TEST(ParseOptions, RangeValues) {
  const std::string missing =
      "Error: Delimiter-separated positive integer values (e.g. ',' or '/') must be supplied after "
      "'--incl-range'!";
  const std::string not_positive =
      "Error: '--incl-range' must be delimiter-separated positive integer values (e.g. ',' or '/')!";
  auto range = [](const std::string& value) {
    Argv a{"--bcor", "b", "--incl-range", value};
    Parsed r;
    try {
      parseOptions(a.argv(), a.argc(), r.flags, r.par);
    } catch (const std::string& m) {
      r.error = m;
    }
    return r;
  };
  for (const char* ok : {"100-200", "100/200", "100,200", "100-200-", "4294967294-4294967295"}) {
    Parsed r = range(ok);
    EXPECT_TRUE(r.error.empty()) << ok << ": " << r.error;
    ASSERT_EQ(r.par.incl_range.size(), 2u) << ok;
  }
  EXPECT_EQ(range("100-200").par.incl_range, (std::vector<uint32_t>{100, 200}));
  EXPECT_EQ(range("4294967294-4294967295").par.incl_range, (std::vector<uint32_t>{4294967294u, 4294967295u}));
  EXPECT_EQ(range("1,2,3").error, "Error: Encountered more than 2 integer values in '--incl-range'!");
  EXPECT_EQ(range("200-100").error,
            "Error: End coordinate 100 in '--incl-range' is smaller than or equal to start coordinate 200!");
  EXPECT_EQ(range("100-100").error,
            "Error: End coordinate 100 in '--incl-range' is smaller than or equal to start coordinate 100!");
  EXPECT_EQ(range("100").error, "Error: Encountered only 1 integer value in '--incl-range'!");
  EXPECT_EQ(range("0-100").error, not_positive);
  // Empty values and empty pieces name no coordinate.
  EXPECT_EQ(range("").error, missing);
  for (const char* empty_piece : {"-100-200", "100--200", "100, 200", "abc", "-", "100-200--"}) {
    EXPECT_EQ(range(empty_piece).error, not_positive) << empty_piece;
  }
  EXPECT_EQ(range("100-4294967296").error,
            "Error: Coordinate 4294967296 in '--incl-range' is greater than 4294967295!");
  EXPECT_EQ(range("1-99999999999999999999999999").error,
            "Error: Coordinate 99999999999999999999999999 in '--incl-range' is greater than 4294967295!");
  // A third value is refused as such, whatever its size.
  EXPECT_EQ(range("1-2-99999999999").error, "Error: Encountered more than 2 integer values in '--incl-range'!");
  EXPECT_EQ(parse({"--bcor", "b", "--incl-range"}).error, missing);
  EXPECT_EQ(parse({"--bcor", "b", "--incl-range", "1-2", "--incl-range", "3-4"}).error,
            "Error: Encountered more than 2 integer values in '--incl-range'!");
}

TEST(ParseOptions, FirstErrorEndsTheLoop) {
  Parsed r = parse({"--bgen", "g", "--n-threads", "0", "--bcor", "b"});
  EXPECT_EQ(r.error, not_positive_int("--n-threads"));
  EXPECT_FALSE(r.flags.bcor);
}

TEST(ParseOptions, ModeOptionFollowedByInputIsRefused) {
  EXPECT_EQ(parse({"--bcor", "b", "--meta", "m", "--bgen", "g"}).error,
            "Error: Option '--meta' and '--bgen' cannot be supplied together!");
  EXPECT_EQ(parse({"--bcor", "b", "--merge", "2", "--bplink", "p"}).error,
            "Error: Option '--merge' and '--bplink' cannot be supplied together!");
  EXPECT_EQ(parse({"--bcor", "b", "--matrix", "m", "--bplink", "p"}).error,
            "Error: Option '--matrix' and '--bplink' cannot be supplied together!");
  EXPECT_EQ(parse({"--bcor", "b", "--table", "t", "--bgen", "g"}).error,
            "Error: Option '--table' and '--bgen' cannot be supplied together!");
  // The other order: the mode option is not recognised after an input option.
  Parsed r = parse({"--bcor", "b", "--bgen", "g", "--meta", "m"});
  EXPECT_TRUE(r.error.empty());
  EXPECT_FALSE(r.flags.meta);
}

// ---- checking ----

TEST(CheckOptions, CombinationRulesAndTheirOrder) {
  EXPECT_EQ(check({}), "Error: Option '--bgen', '--bplink' or '--bcor' must be supplied!");
  EXPECT_EQ(check({"--bgen", "g", "--help"}), "Error: Option '--bgen' and '--help' cannot be supplied together!");
  EXPECT_EQ(check({"--bplink", "p", "-help"}), "Error: Option '--bplink' and '--help' cannot be supplied together!");
  // rule 2 before rule 3 and rule 4
  EXPECT_EQ(check({"--bgen", "g", "--bplink", "p", "-h"}),
            "Error: Option '--bgen' and '--help' cannot be supplied together!");
  EXPECT_EQ(check({"--bcor", "b", "--bgen", "g", "--bplink", "p"}),
            "Error: Option '--bgen' and '--bplink' cannot be supplied together!");
  EXPECT_EQ(check({"--bcor", "b", "--bplink", "p", "--bgen", "g"}),
            "Error: Option '--bgen' and '--bplink' cannot be supplied together!");
  EXPECT_EQ(check({"--bcor", "b", "-h"}), "Error: Option '--bcor' and '--help' cannot be supplied together!");
  EXPECT_EQ(check({"--bgen", "g"}), "Error: Option '--bgen' and '--bcor' must be supplied together!");
  EXPECT_EQ(check({"--bplink", "p"}), "Error: Option '--bplink' and '--bcor' must be supplied together!");
  EXPECT_EQ(check({"--bcor", "b", "--bgen", "g", "--incl-samples", "i"}),
            "Error: Option '--samples' and '--incl-samples' must be supplied together!");
  EXPECT_EQ(check({"--bcor", "b", "--bgen", "g", "--samples", "s"}),
            "Error: Option '--samples' and '--incl-samples' must be supplied together!");
  EXPECT_EQ(check({"--bcor", "b"}),
            "Error: Option '--bcor' must be supplied with either '--bgen', '--bplink', '--merge', '--meta', "
            "'--matrix' or '--table'!");
  EXPECT_EQ(check({"--bcor", "b", "--bgen"}), "Error: Name of the BGEN file must be supplied after '--bgen'!");
  EXPECT_EQ(check({"--bcor", "b", "--bplink"}),
            "Error: Basename of the PLINK files must be supplied after '--bplink'!");
  EXPECT_EQ(check({"--bgen", "g", "--bcor"}), "Error: Basename of the BCOR file(s) must be supplied after '--bcor'!");
  EXPECT_EQ(check({"--bgen", "g", "--bcor", "", "--bplink"}),
            "Error: Option '--bgen' and '--bplink' cannot be supplied together!");
  EXPECT_EQ(check({"--bcor", "b", "--bgen", "g", "--incl-samples", "i", "--samples"}),
            "Error: Name of the SAMPLE file must be supplied after '--sample'!");
  EXPECT_EQ(check({"--bcor", "b", "--bplink", "p", "--incl-samples"}),
            "Error: Name of the SAMPLE incl-file must be supplied after '--incl-samples'!");
  // rule 13 before rule 14
  EXPECT_EQ(check({"--bcor", "b", "--bgen", "g", "--incl-samples", "", "--samples", ""}),
            "Error: Name of the SAMPLE file must be supplied after '--sample'!");
  EXPECT_EQ(check({"--bcor", "b", "--matrix"}), "Error: Name of the MATRIX file must be supplied after '--matrix'!");
  EXPECT_EQ(check({"--bcor", "b", "--table"}), "Error: Name of the TABLE file must be supplied after '--table'!");
  EXPECT_EQ(check({"--bcor", "b", "--meta"}), "Error: Name of the META file must be supplied after '--meta'!");
  EXPECT_EQ(check({"--bcor", "b", "--table", "t", "--incl-range", "1-2", "--incl-variants", "v"}),
            "Error: Option '--incl-range' and '--incl-variants' cannot be supplied together!");
  // rule 18 comes before the file tests
  EXPECT_EQ(check({"--bcor", "/nonexistent/b", "--matrix", "m", "--incl-range", "1-2", "--incl-variants", "v"}),
            "Error: Option '--incl-range' and '--incl-variants' cannot be supplied together!");
}

TEST(CheckOptions, HelpAloneOrFirstPasses) {
  EXPECT_EQ(check({"--help"}), "");
  EXPECT_EQ(check({"-h", "--bcor", "b"}), "");
}

TEST(CheckOptions, FileTestsInOrder) {
  const std::string dir = testutil::scratchDir("check_options_files");
  const std::string g = dir + "/g.bgen", s = dir + "/s.sample", i = dir + "/i.txt", v = dir + "/v.txt";
  const std::string b = dir + "/b.bcor", p = dir + "/data";
  for (const std::string& f : {g, s, i, v, b, p + ".bed", p + ".bim", p + ".fam"}) testutil::writeFile(f, "x");
  const std::string missing = dir + "/missing";
  auto notFound = [](const std::string& name) { return "Error: File '" + name + "' cannot be found!"; };

  EXPECT_EQ(check({"--bcor", "out", "--bgen", g, "--samples", s, "--incl-samples", i}), "");
  EXPECT_EQ(check({"--bcor", "out", "--bgen", missing, "--samples", missing + "s", "--incl-samples", i}),
            notFound(missing));
  EXPECT_EQ(check({"--bcor", "out", "--bgen", g, "--samples", missing, "--incl-samples", missing + "i"}),
            notFound(missing));
  EXPECT_EQ(check({"--bcor", "out", "--bgen", g, "--samples", s, "--incl-samples", missing}), notFound(missing));

  EXPECT_EQ(check({"--bcor", "out", "--bplink", p}), "");
  EXPECT_EQ(check({"--bcor", "out", "--bplink", missing}), notFound(missing + ".bed"));
  std::filesystem::remove(p + ".bim");
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p}), notFound(p + ".bim"));
  testutil::writeFile(p + ".bim", "x");
  std::filesystem::remove(p + ".fam");
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p}), notFound(p + ".fam"));
  testutil::writeFile(p + ".fam", "x");
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--incl-samples", missing}), notFound(missing));

  EXPECT_EQ(check({"--bcor", b, "--meta", "m"}), "");
  EXPECT_EQ(check({"--bcor", missing, "--meta", "m"}), notFound(missing));
  EXPECT_EQ(check({"--bcor", missing, "--matrix", "m"}), notFound(missing));
  EXPECT_EQ(check({"--bcor", missing, "--table", "t"}), notFound(missing));
  // The variant list is tested before the BCOR file; an empty name is not found.
  EXPECT_EQ(check({"--bcor", missing, "--table", "t", "--incl-variants", missing + "v"}), notFound(missing + "v"));
  EXPECT_EQ(check({"--bcor", b, "--matrix", "m", "--incl-variants"}), notFound(""));
  EXPECT_EQ(check({"--bcor", b, "--matrix", "m", "--incl-variants", v}), "");
  // The merge reads the per-thread files, not the BCOR name; a computation writes it.
  EXPECT_EQ(check({"--bcor", missing, "--merge", "4"}), "");
  EXPECT_EQ(check({"--bcor", missing, "--bplink", p}), "");
  // A directory opens as a stream but holds no data.
  EXPECT_EQ(check({"--bcor", dir, "--meta", "m"}), notFound(dir));
}

TEST(CheckOptions, CheckFileExists) {
  const std::string dir = testutil::scratchDir("check_file_exists");
  testutil::writeFile(dir + "/f", "");
  EXPECT_TRUE(checkFileExists(dir + "/f"));
  EXPECT_FALSE(checkFileExists(dir + "/g"));
  EXPECT_FALSE(checkFileExists(""));
  EXPECT_FALSE(checkFileExists(dir));
}

TEST(CheckOptions, ThreadCount) {
  const std::string dir = testutil::scratchDir("check_options_threads");
  const std::string p = dir + "/data";
  for (const char* ext : {".bed", ".bim", ".fam"}) testutil::writeFile(p + ext, "x");
  const int max = omp_get_max_threads();
  const std::string equal = std::to_string(max), above = std::to_string(max + 1);
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--n-threads", equal}), "");
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--n-threads", above}),
            "Error: Requested " + above + " parallel threads but only up to " + equal +
                " parallel threads are available!");
  // The merge count shares the field but is no thread count.
  EXPECT_EQ(check({"--bcor", "out", "--merge", "1000"}), "");
  // File tests come first.
  EXPECT_EQ(check({"--bcor", "out", "--bplink", dir + "/none", "--n-threads", above}),
            "Error: File '" + dir + "/none.bed' cannot be found!");
}

TEST(CheckOptions, AccuracyWordAfterTheOtherTests) {
  const std::string dir = testutil::scratchDir("check_options_accuracy");
  const std::string p = dir + "/data";
  for (const char* ext : {".bed", ".bim", ".fam"}) testutil::writeFile(p + ext, "x");
  for (const char* word : {"low", "medium", "high"}) {
    EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--accuracy", word}), "") << word;
  }
  const std::string bad = "Error: '--accuracy' must be low, medium or high!";
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--accuracy", "Low"}), bad);
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--accuracy"}), bad);
  const std::string above = std::to_string(omp_get_max_threads() + 1);
  EXPECT_EQ(check({"--bcor", "out", "--bplink", p, "--accuracy", "x", "--n-threads", above}).substr(0, 17),
            "Error: Requested ");
}

} // namespace
