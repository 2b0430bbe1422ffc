#pragma once
// BGEN reading library and the BGEN reader object.

class BgenParser {
public:
  // filled in with the BGEN reader
};
