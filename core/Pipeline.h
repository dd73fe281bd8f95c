// The item pipeline: one collection of one item, and the result routines through which
// gathering routines fill an item's result.
#pragma once

#include <string>
#include <vector>

#include "ItemTypes.h"
#include "Variant.h"

// Collects one item: stamps the collection time, empties the field names and rows, runs
// the gathering routine within the item time limit (TItemTimeLimit), expands variables
// and user functions, applies the "set" option, splits the display lines and appends CSV
// output ("csv", "csvdatatype").
// False when a step raised; the error is logged as "DoProc: " + ErrorText + class + " " +
// message + " Step:" + step.
bool DoProc(TGatherProc Routine, TItemOptionArray Options, TItemData& Data);

// Names becomes exactly Values.
void SetFieldNames(TWideStringArray& Names, const std::vector<std::wstring>& Values);
// Appends a row of copies of Values, or (Append false) makes it the only row.
void AddDataRow(TDataArray& Rows, const std::vector<Variant>& Values, bool Append);

// Appends the item's result to a CSV file in the system code page, with a header line
// when the file is new; LinesLayout writes the display lines instead of the value rows.
// A double quote inside a field is doubled. Never raises: file errors are swallowed, and
// the answer tells whether the whole text was written (false for an empty file name).
bool WriteCsv(const std::wstring& FileName, const TItemData& Data, bool LinesLayout);

// A value's text in a CSV field (8-bit, the system code page); empty and null give "".
std::string VariantToCsvText(const Variant& Value);
