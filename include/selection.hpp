#pragma once
// Sample inclusion list, range selection, SNPTEST2 sample file and text-line validators.
