#pragma once
// Merge of per-thread BCOR files.
