#pragma once
// Dosage standardisation, correlation products and the pair filter.
