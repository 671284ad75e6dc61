#include "engine/expr/Expr.h"

#include <cctype>
#include <cstring>
#include <string>

#include "engine/EngineErrors.h"
#include "engine/expr/ExprTree.h"
#include "engine/expr/Functions.h"

namespace ari::engine {

namespace expr {

[[noreturn]] void Fail(const std::string& expr, size_t pos, const std::string& what,
                       const std::string& note) {
    std::string msg = "Invalid index expression \"" + expr + "\": " + what;
    if (pos > 0)
        msg += " at position " + std::to_string(pos);
    msg += note;
    throw EDBEngineError(kStatusInvalidExpression, {msg});
}

const char* TypeName(ExprType t) {
    switch (t) {
        case ExprType::Character:
            return "character";
        case ExprType::Numeric:
            return "numeric";
        case ExprType::Date:
            return "date";
        case ExprType::Logical:
            return "logical";
    }
    return "?";
}

}  // namespace expr

using namespace expr;

Expression::Expression(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Expression::Expression(Expression&&) noexcept = default;
Expression& Expression::operator=(Expression&&) noexcept = default;
Expression::~Expression() = default;

const std::string& Expression::Text() const {
    return impl_->text;
}
ExprType Expression::Type() const {
    return impl_->N(impl_->root).type;
}
size_t Expression::Width() const {
    return impl_->N(impl_->root).width;
}
std::string Expression::SingleField() const {
    return impl_->bareField ? impl_->N(impl_->root).field.name : std::string();
}

bool Expression::DependsOnRecordPlace() const {
    for (const Node& n : impl_->nodes) {
        if (n.op == Op::Call && (n.fn == Fn::Recno || n.fn == Fn::Deleted))
            return true;
    }
    return false;
}

ExprValue Expression::Evaluate(const RecordRef& record) const {
    return impl_->Eval(impl_->root, record);
}

bool Expression::Test(const RecordRef& record) const {
    return impl_->Eval(impl_->root, record).logical;
}

KeyType Expression::KeyTypeOf() const {
    switch (Type()) {
        case ExprType::Character:
            break;
        case ExprType::Numeric:
            return KeyType::Numeric;
        case ExprType::Date:
            return KeyType::Date;
        case ExprType::Logical:
            Fail(impl_->text, 0, "a logical expression cannot be an index key");
    }
    if (Width() > kMaxKeyLength) {
        Fail(impl_->text, 0,
             "key of " + std::to_string(Width()) + " bytes is longer than 100 bytes");
    }
    if (Width() == 0)
        Fail(impl_->text, 0, "key of 0 bytes");
    return KeyType::Character;
}

size_t Expression::KeyLength() const {
    return SortableKeyLength(KeyTypeOf(), Width());
}

void Expression::EvaluateKey(const RecordRef& record, uint8_t* out) const {
    const Node& root = impl_->N(impl_->root);
    switch (root.type) {
        case ExprType::Character: {
            const size_t len = root.width;
            if (root.op == Op::Field) {  // the common case without a temporary string
                const std::string_view f = FieldBytes(root.field, record);
                const size_t have = std::min(len, f.size());
                if (have)
                    std::memcpy(out, f.data(), have);
                std::memset(out + have, ' ', len - have);
                return;
            }
            if (root.op == Op::Call && (root.fn == Fn::Upper || root.fn == Fn::Lower) &&
                impl_->N(root.kids[0]).op == Op::Field) {  // UPPER(FIELD): in place as well
                const std::string_view f = FieldBytes(impl_->N(root.kids[0]).field, record);
                const size_t have = std::min(len, f.size());
                for (size_t i = 0; i < have; ++i)
                    out[i] = static_cast<uint8_t>(ChangeCase(root.fn, f[i]));
                std::memset(out + have, ' ', len - have);
                return;
            }
            const ExprValue v = impl_->Eval(impl_->root, record);
            const size_t have = std::min(len, v.text.size());
            std::memcpy(out, v.text.data(), have);
            std::memset(out + have, ' ', len - have);
            return;
        }
        case ExprType::Numeric:
            if (root.op == Op::Field) {  // exact digits from the field text
                EncodeNumericKey(FieldText(root, record), out);
                return;
            }
            EncodeNumericKey(impl_->Eval(impl_->root, record).number, out);
            return;
        case ExprType::Date:
            EncodeDateKey(impl_->Eval(impl_->root, record).number, out);
            return;
        case ExprType::Logical:
            break;
    }
    Fail(impl_->text, 0, "a logical expression cannot be an index key");
}

}  // namespace ari::engine
