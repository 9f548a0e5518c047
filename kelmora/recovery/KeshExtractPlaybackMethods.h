// The admin methods of the extract recorder, run on its control thread:
// "resetExtractPlayback" replaces the file name pattern (an empty one stops
// recording), "setExtractPlaybackStartTime" and "setExtractPlaybackStopTime"
// move the daily window and answer the window as it then stands. The start
// stays while a same-day window is recording.
#pragma once

#include "zunq/admin/KeshMethod.h"

#include <string>

class ExtractPlayback;

class KeshResetExtractPlayback : public KeshMethod
{
public:
    explicit KeshResetExtractPlayback(ExtractPlayback& ep);

    // At most one argument: the pattern, by the name "File" or
    // "FileNameFormat" or as the only argument; none is the empty pattern.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    ExtractPlayback& mEp;
};

class KeshSetStartExtractPlayback : public KeshMethod
{
public:
    explicit KeshSetStartExtractPlayback(ExtractPlayback& ep);

    // At most one argument, a time of day ("09:01") or empty for none; text
    // that is no time is a usage error and changes nothing.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    ExtractPlayback& mEp;
};

class KeshSetStopExtractPlayback : public KeshMethod
{
public:
    explicit KeshSetStopExtractPlayback(ExtractPlayback& ep);

    // As the start method, always applied.
    void invoke(const KeshParamList& in, KeshParamList& out) override;

private:
    ExtractPlayback& mEp;
};

// "Start time currently set to 09:01:00.000. Stop time currently not set."
std::string extractWindowText(const ExtractPlayback& ep);
