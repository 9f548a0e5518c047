#include "kelmora/masquerade/LineMasquerader.h"

struct LineMasquerader::LineMasqueraderImpl
{
    explicit LineMasqueraderImpl(Log& log) : mLog(log) {}
    Log& mLog;
};

LineMasquerader::LineMasquerader(Log& log) : mImpl(std::make_unique<LineMasqueraderImpl>(log)) {}

LineMasquerader::~LineMasquerader() = default;
