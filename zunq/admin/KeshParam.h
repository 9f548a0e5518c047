// One named text value of an admin request or result. Values come from
// operators, so the numeric readers accept only a whole, in-range number and
// leave the target untouched otherwise.
#pragma once

#include <string>

class KeshParam
{
public:
    KeshParam(const std::string& name, const std::string& value);

    const std::string& getName() const { return mName; }
    const std::string& getValue() const { return mValue; }
    void getValue(std::string& value) const { value = mValue; }
    // Decimal, with an optional sign; surrounding blanks are allowed. False for
    // anything else, including an empty text and a value out of range.
    bool getValue(long& value) const;
    // Decimal digits only (no sign).
    bool getValue(unsigned long& value) const;

private:
    std::string mName;
    std::string mValue;
};
