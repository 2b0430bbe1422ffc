// The SNPTEST2 sample file: identifiers for the samples of a BGEN file.
#include <sstream>

#include "corvane.hpp"
#include "open_failure.hpp"
#include "selection.hpp"

void Corvane::readSampleFile() {
  text_in.close();
  text_in.clear();
  text_in.open(sample_file);
  if (!text_in.is_open()) displayError("\n\n" + corvane::openFailure(sample_file));

  checkLineSample(text_in, sample_file, 0, 3);
  readTwoLinesSample(text_in, sample_file);

  // Only the sample file's identifiers may be looked up from here on.
  bgen_parser.sample_ids.clear();
  uint32_t i = 0;
  std::string line;
  while (readTextLine(text_in, line)) {
    std::istringstream line_stream(line);
    const std::string id = readString(line_stream, sample_file, static_cast<int32_t>(i));
    if (!bgen_parser.sample_ids.emplace(id, i).second) {
      displayError("\n\nError: File '" + sample_file + "' includes a duplicated sample " + id + "!");
    }
    ++i;
  }
  if (i != n_samples_in_file) {
    displayError("\n\nError: File '" + sample_file + "' includes " + std::to_string(i) +
                 " but BGEN file contains data on " + std::to_string(n_samples_in_file) + " samples!");
  }
  text_in.close();
  text_in.clear();
}
