#pragma once

#include <string>
#include <vector>

#include "zel-pda/HandheldPayloads.h"

namespace Pda {

// The rows as an aligned text table: a heading line ("row", then the field
// numbers, the key marked "0*") and one line per row. Columns follow the
// first row; control characters in values show as '.'.
std::string FormatTable(const std::vector<TDataRow>& rows);

} // namespace Pda
