#include "pair_spool.hpp"

#include <algorithm>
#include <queue>
#include <utility>

#include "fatal.hpp"
#include "open_failure.hpp"
#include "output_files.hpp"

static_assert(sizeof(PairSpool::Record) == 24, "spool records have no padding");

namespace {

typedef PairSpool::Record Record;

uint64_t orderKey(const Record& r) { return (static_cast<uint64_t>(r.first) << 32) | r.second; }

void sortInTableOrder(std::vector<Record>& records) {
  std::sort(records.begin(), records.end(),
            [](const Record& x, const Record& y) { return orderKey(x) < orderKey(y); });
}

Record toRecord(const ExtractedPair& pair) {
  return Record{pair.first, pair.second, pair.n_samples, 0u, pair.correlation};
}

ExtractedPair toPair(const Record& r) { return ExtractedPair{r.first, r.second, r.correlation, r.n_samples}; }

std::streamoff byteOffset(uint64_t records) { return static_cast<std::streamoff>(records * sizeof(Record)); }

} // namespace

// Reads one run ahead in blocks.
class PairSpool::Reader {
public:
  Reader(PairSpool& spool, Run run, std::size_t capacity)
      : spool_(spool), next_(run.offset), end_(run.offset + run.size), capacity_(capacity) {
    refill();
  }
  bool done() const { return pos_ == block_.size(); }
  const Record& front() const { return block_[pos_]; }
  void pop() {
    if (++pos_ == block_.size()) refill();
  }

private:
  void refill() {
    const std::size_t count = static_cast<std::size_t>(std::min<uint64_t>(capacity_, end_ - next_));
    block_.resize(count);
    pos_ = 0;
    if (count == 0) return;
    spool_.file_.seekg(byteOffset(next_));
    spool_.file_.read(reinterpret_cast<char*>(block_.data()), byteOffset(count));
    if (!spool_.file_ || spool_.file_.gcount() != byteOffset(count)) spool_.fail("cannot be read!");
    next_ += count;
  }

  PairSpool& spool_;
  uint64_t next_;
  uint64_t end_;
  std::size_t capacity_;
  std::vector<Record> block_;
  std::size_t pos_ = 0;
};

PairSpool::PairSpool(corvane::OwnPlace place, std::size_t pairs_in_memory, std::size_t max_runs_per_merge)
    : place_(std::move(place)), pairs_in_memory_(std::max<std::size_t>(pairs_in_memory, 1)),
      max_runs_per_merge_(std::max<std::size_t>(max_runs_per_merge, 2)) {}

PairSpool::PairSpool(const std::string& temporary_stem, std::size_t pairs_in_memory, std::size_t max_runs_per_merge)
    : PairSpool(corvane::OwnPlace{-1, temporary_stem.substr(0, temporary_stem.find_last_of('/') + 1),
                                  temporary_stem.substr(temporary_stem.find_last_of('/') + 1)},
                pairs_in_memory, max_runs_per_merge) {}

PairSpool::~PairSpool() { removeFile(); }

void PairSpool::add(const ExtractedPair& pair) {
  // Reserved whole: growing by doubling would briefly hold one and a half times the budget.
  if (buffer_.capacity() < pairs_in_memory_) buffer_.reserve(pairs_in_memory_);
  buffer_.push_back(toRecord(pair));
  if (buffer_.size() == pairs_in_memory_) spill();
}

void PairSpool::spill() {
  sortInTableOrder(buffer_);
  if (!file_.is_open()) {
    // Never through what stands at a name (a link to a user's file, another run's spool): the file is
    // made new, and opened through the descriptor that made it, outside the outputs' lock, which
    // nothing that may wait holds.
    if (place_.directory < 0) place_.directory = corvane::holdDirectory(place_.shown);
    const int descriptor = corvane::createOwnOutput(place_.directory, [this](std::string& name) {
      const int made = corvane::createOwnFile(place_.directory, place_.stem, 0600, name);
      name_ = name;
      return made;
    });
    path_ = place_.shown + name_;
    if (descriptor < 0) corvane::fatalError(corvane::openFailure(path_, "cannot be written!"));
    if (!corvane::openThroughDescriptor(descriptor, file_, std::ios::in | std::ios::out | std::ios::binary)) {
      corvane::fatalError(corvane::openFailure(path_, "cannot be written!"));
    }
  }
  runs_.push_back(Run{records_in_file_, buffer_.size()});
  writeRecords(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void PairSpool::writeRecords(const Record* records, std::size_t count) {
  file_.seekp(byteOffset(records_in_file_));
  file_.write(reinterpret_cast<const char*>(records), byteOffset(count));
  file_.flush();
  if (!file_) fail("cannot be written!");
  records_in_file_ += count;
}

void PairSpool::mergeRuns(std::size_t first_run, std::size_t n_runs,
                          const std::function<void(const Record&)>& out) {
  // The merge's read-ahead and its output block share the memory the pairs had.
  const std::size_t capacity = std::max<std::size_t>(pairs_in_memory_ / (n_runs + 1), 1);
  std::vector<Reader> readers;
  readers.reserve(n_runs);
  for (std::size_t k = 0; k < n_runs; ++k) readers.emplace_back(*this, runs_[first_run + k], capacity);
  typedef std::pair<uint64_t, std::size_t> Head;
  std::priority_queue<Head, std::vector<Head>, std::greater<Head>> heads;
  for (std::size_t k = 0; k < n_runs; ++k) {
    if (!readers[k].done()) heads.emplace(orderKey(readers[k].front()), k);
  }
  while (!heads.empty()) {
    const std::size_t k = heads.top().second;
    heads.pop();
    out(readers[k].front());
    readers[k].pop();
    if (!readers[k].done()) heads.emplace(orderKey(readers[k].front()), k);
  }
}

void PairSpool::drain(const std::function<void(const ExtractedPair&)>& write) {
  if (runs_.empty()) {
    sortInTableOrder(buffer_);
    for (const Record& r : buffer_) write(toPair(r));
    std::vector<Record>().swap(buffer_);
    return;
  }
  if (!buffer_.empty()) spill();
  std::vector<Record>().swap(buffer_);

  // Too many runs to read at once: merge the oldest into one run at the end of the file.
  while (runs_.size() > max_runs_per_merge_) {
    const std::size_t n = max_runs_per_merge_;
    std::vector<Record> block;
    block.reserve(std::max<std::size_t>(pairs_in_memory_ / (n + 1), 1));
    Run merged{records_in_file_, 0};
    for (std::size_t k = 0; k < n; ++k) merged.size += runs_[k].size;
    mergeRuns(0, n, [&](const Record& r) {
      block.push_back(r);
      if (block.size() == block.capacity()) {
        writeRecords(block.data(), block.size());
        block.clear();
      }
    });
    writeRecords(block.data(), block.size());
    runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(n));
    runs_.push_back(merged);
  }
  mergeRuns(0, runs_.size(), [&write](const Record& r) { write(toPair(r)); });
  runs_.clear();
  removeFile();
}

void PairSpool::removeFile() {
  if (!file_.is_open()) return;
  file_.close();
  corvane::removeOwnOutput(place_.directory, name_);
  name_.clear();
  path_.clear();
  records_in_file_ = 0;
}

void PairSpool::fail(const char* what) const {
  corvane::fatalError("Error: File '" + path_ + "' " + what);
}
