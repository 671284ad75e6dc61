// dBASE key expressions: parsing, the static type and width check that fixes a tag's key type
// and length, and evaluation against one record. Used for tag keys and FOR conditions.
//
// An Expression is immutable once parsed and may be evaluated from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/Key.h"
#include "engine/format/Field.h"

namespace ari::engine {

// Engine status of a key expression that does not parse or does not type-check.
inline constexpr uint16_t kStatusInvalidExpression = 0x2E01;

enum class ExprType : char { Character = 'C', Numeric = 'N', Date = 'D', Logical = 'L' };

// A computed value. Dates are Julian day numbers, 0 for the empty date.
struct ExprValue {
    ExprType type = ExprType::Logical;
    std::string text;      // Character
    double number = 0;     // Numeric and Date
    bool logical = false;  // Logical
};

// One record as the evaluator sees it: the raw record bytes (byte 0 the deletion flag) and
// its 1-based record number.
struct RecordRef {
    const uint8_t* data = nullptr;
    size_t length = 0;
    uint32_t recno = 0;
};

class Expression {
  public:
    // Parses and type-checks `text` against the table's fields. Throws EDBEngineError
    // (kStatusInvalidExpression) naming the expression and the position (1-based) of the fault:
    // a syntax error, an unknown field or function, wrong argument types or counts.
    static Expression Parse(const std::string& text, const std::vector<FieldDef>& fields);

    Expression(Expression&&) noexcept;
    Expression& operator=(Expression&&) noexcept;
    ~Expression();

    const std::string& Text() const;
    ExprType Type() const;
    // Static width: the declared width of a character result; 12 for numbers, 8 for dates,
    // 1 for logical values.
    size_t Width() const;
    // The field's name as the table spells it when the expression is one bare field name,
    // blanks around it allowed ("NAME", " name "); "" for anything else, "(NAME)" and
    // "alias->NAME" included. This decides the tag header's plain-field byte and whether a tag
    // is listed as a field tag.
    std::string SingleField() const;

    // True when the value can depend on the record's number or its deletion mark (RECNO(),
    // DELETED()) rather than on its field bytes alone: a pack changes both.
    bool DependsOnRecordPlace() const;

    ExprValue Evaluate(const RecordRef& record) const;
    // Evaluates a condition (FOR clause). REQUIRES: Type() == Logical.
    bool Test(const RecordRef& record) const;

    // Key type and length of a tag keyed by this expression; throws EDBEngineError for a
    // logical expression or a character key longer than 100 bytes.
    KeyType KeyTypeOf() const;
    size_t KeyLength() const;
    // Writes the stored key bytes (KeyLength() of them) for one record.
    void EvaluateKey(const RecordRef& record, uint8_t* out) const;

  private:
    struct Impl;
    explicit Expression(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace ari::engine
