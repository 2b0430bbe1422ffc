#pragma once
// PLINK .bed/.bim/.fam reader.

class PlinkParser {
public:
  // filled in with the PLINK reader
};
