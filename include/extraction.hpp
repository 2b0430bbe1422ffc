#pragma once
// Meta variant list, variant inclusion list, matrix and table extraction.
