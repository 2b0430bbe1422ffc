#pragma once
// Merge of per-thread BCOR files into one: the header checks and record copying are engine methods
// (banner "merge" of corvane.hpp). The merged file's tables hold one entry per variant of the run but
// the last; merged from two or more files, the sample-count table is followed by one spare 0 entry and
// 8 zero bytes, left from the placeholders that every file but the last of a run carries.
