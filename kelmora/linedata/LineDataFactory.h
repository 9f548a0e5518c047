// Where line data records come from and go back to: one factory per sub-feed,
// registered as the module "LineDataFactory" and chosen by the sub-feed's
// line data format. A record from create is handed back to the same
// factory's destroy, never deleted by its user.
#pragma once

class LineData;

class LineDataFactory
{
public:
    virtual ~LineDataFactory() = default;
    virtual LineData* create() = 0;
    virtual void destroy(LineData* data) = 0;
};
