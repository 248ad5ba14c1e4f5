// The key/value grammar as a state machine over UTF-16 code units: the
// grammar's blanks, "-", "=" and quote are all single units, so running it on
// UTF-16 splits no character and gives the same pairs on every platform.
#include "capture/KeyValues.h"

#include "platform/TextConversion.h"

#include <limits>

namespace Quillet {

namespace {

enum class State {
    BetweenPairs,  // skipping blanks before a key
    InKey,
    AfterKey,      // skipping "=" and blanks before a value
    InValue,       // an unquoted value, up to a blank
    InQuotes,      // a quoted value, up to the closing quote
};

bool IsBlank(char16_t unit)
{
    return unit == u' ' || unit == u'\t';
}

class PairCollector {
public:
    explicit PairCollector(KeyValueMap& out) : out(out) {}

    void Emit()
    {
        // emplace keeps the value already held for a repeated key.
        out.emplace(FromUtf16(key.data(), key.size()), FromUtf16(value.data(), value.size()));
        if (count < std::numeric_limits<std::int32_t>::max())
            ++count;
        key.clear();
        value.clear();
    }

    std::u16string key;
    std::u16string value;
    std::int32_t count = 0;

private:
    KeyValueMap& out;
};

}  // namespace

std::int32_t ParseKeyValues(const std::wstring& text, KeyValueMap& out)
{
    out.clear();
    const std::u16string units = ToUtf16(text);
    PairCollector pair(out);
    State state = State::BetweenPairs;

    for (const char16_t unit : units) {
        switch (state) {
        case State::BetweenPairs:
            if (IsBlank(unit))
                break;
            if (unit != u'-')
                pair.key += unit;
            state = State::InKey;
            break;
        case State::InKey:
            if (IsBlank(unit) || unit == u'=')
                state = State::AfterKey;
            else
                pair.key += unit;
            break;
        case State::AfterKey:
            if (unit == u'-') {
                // "-a -b": the next key begins, this one has no value.
                pair.Emit();
                state = State::InKey;
            } else if (unit == u'"') {
                state = State::InQuotes;
            } else if (!IsBlank(unit) && unit != u'=') {
                pair.value += unit;
                state = State::InValue;
            }
            break;
        case State::InValue:
            if (IsBlank(unit)) {
                pair.Emit();
                state = State::BetweenPairs;
            } else {
                pair.value += unit;
            }
            break;
        case State::InQuotes:
            if (unit == u'"') {
                pair.Emit();
                state = State::BetweenPairs;
            } else {
                pair.value += unit;
            }
            break;
        }
    }
    // A key at the end keeps what its value collected, even an open quote's.
    if (!pair.key.empty())
        pair.Emit();
    return pair.count;
}

}  // namespace Quillet
