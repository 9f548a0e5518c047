// The ordered parameters of one admin request or result. Lookups by index or
// by name answer null when there is no such parameter.
#pragma once

#include "zunq/admin/KeshParam.h"

#include <cstddef>
#include <string>
#include <vector>

class KeshParamList
{
public:
    void add(const std::string& name, const std::string& value);
    // A null value is added as an empty text.
    void add(const std::string& name, const char* value);

    std::size_t size() const { return mParams.size(); }
    bool empty() const { return mParams.empty(); }
    const KeshParam* getParam(std::size_t index) const;
    // The first parameter of that name.
    const KeshParam* getParam(const std::string& name) const;
    void clear() { mParams.clear(); }

private:
    std::vector<KeshParam> mParams;
};
