#pragma once

#include <sql.h>

#include <string>
#include <vector>

// How a column takes part in filter terms.
enum class TZel_FieldClass { Text, Numeric, Other };

bool IsTextFieldType(int sqlType);
bool IsNumericFieldType(int sqlType);

// One field definition of an open table, as the driver describes the column.
struct TZel_FieldDef {
    std::string Name;
    SQLSMALLINT SqlType = SQL_VARCHAR;
    SQLULEN Size = 0;
    SQLSMALLINT DecimalDigits = 0;
    bool Nullable = true;
    bool AutoIncrement = false;
    bool Required = false;     // posting a row without a value fails
    std::string TypeName = {}; // the DBMS's own name of the type, as declared on SQLite

    TZel_FieldClass Class() const;
};

using TZel_FieldDefs = std::vector<TZel_FieldDef>;

class TOdbcConnection;
// The fields of table in column order, and their names quoted as SQL identifiers.
void LoadFieldDefs(TOdbcConnection& connection, const std::string& table, TZel_FieldDefs& fields,
                   std::vector<std::string>& quotedFields);

// Index of the field spelled exactly name, else of the one field called name
// with letter case ignored; -1 when none, or when several differ only by case.
int FindFieldIndex(const TZel_FieldDefs& fields, const std::string& name);
// Like FindFieldIndex, but raises the field-not-found EDatabaseError.
int FieldIndexByName(const TZel_FieldDefs& fields, const std::string& name);

// Whether SQLite gives a column of this declared type text or integer
// affinity (its rules in their order: INT, then CHAR, CLOB or TEXT), so that
// what is stored there is converted to that type; none, real, numeric and
// blob affinity keep integers, reals and text side by side.
bool IsSqliteTextOrIntegerAffinity(std::string declaredType);

// The number grammar of every numeric value, in filters and in posted
// values alike: [+-](digits[.digits] | .digits)[(e|E)[+-]digits].
bool IsNumberText(const std::string& text);

// A handheld's value as the field takes it: blanks around a number, a date
// or any other value that is not text are dropped (fixed-width terminals
// pad them); a text value is kept exactly as it is.
std::string FieldValueText(const TZel_FieldDef& field, const std::string& text);

// Raises EDatabaseError "Invalid value [text] for field [name]" unless text
// reads as a value of the field's type. Text fields take any text; an empty
// text is accepted (it stores NULL in a non-text field) when allowEmpty.
void CheckFieldText(const TZel_FieldDef& field, const std::string& text, bool allowEmpty);
// Whether a non-empty text reads as a value of the field's type, as CheckFieldText checks it.
bool IsFieldValueText(const TZel_FieldDef& field, const std::string& text);

// The text form of a value as read: the driver's character conversion, with
// fixed-point values given exactly the column's decimal places, so that every
// driver shows 12.50 for a DECIMAL(10,2).
std::string NormaliseFieldText(const TZel_FieldDef& field, std::string text);
