#include "kelmora/recovery/KeshExtractPlaybackMethods.h"

#include "kelmora/recovery/ExtractPlayback.h"
#include "zunq/admin/KeshParamList.h"
#include "zunq/admin/KeshUsageError.h"
#include "zunq/time/Time.h"
#include "zunq/time/TimeZone.h"

namespace
{

// The only argument's text; an absent one is empty.
std::string onlyArgument(const KeshParamList& in)
{
    if (in.size() > 1)
        throw KeshUsageError("KESH usage");
    const KeshParam* param = in.getParam(std::size_t{0});
    return param != nullptr ? param->getValue() : std::string();
}

// An operator's time of day: empty, or text the window can use.
void checkTime(const std::string& text)
{
    if (!text.empty() && !Time(text.c_str(), TimeZone::local()).isSet())
        throw KeshUsageError("KESH usage");
}

std::string timeText(const Time& time, const TimeZone* tz)
{
    char buffer[64] = {};
    time.strFmt(buffer, sizeof buffer, "%T%;", tz);
    return buffer;
}

} // namespace

std::string extractWindowText(const ExtractPlayback& ep)
{
    std::string text = ep.getStartTime().isSet()
                           ? "Start time currently set to " + timeText(ep.getStartTime(), ep.getTimeZone())
                           : "Start time currently not set";
    text += ep.getStopTime().isSet()
                ? ". Stop time currently set to " + timeText(ep.getStopTime(), ep.getTimeZone()) + "."
                : ". Stop time currently not set.";
    return text;
}

KeshResetExtractPlayback::KeshResetExtractPlayback(ExtractPlayback& ep)
    : KeshMethod("resetExtractPlayback", KESH_METHOD_ACTION_INFO,
                 "Reset playback extraction file.  If a file is currently being extracted, it is closed, the "
                 "filename format is then reevaluated and if not empty, starts extracting the playback to the new "
                 "file.  An empty filename parameter stops the extraction.  The fileNameFormat argument is "
                 "optional."),
      mEp(ep)
{
    addArgParamDef("FileNameFormat",
                   "Filename or a time format that can be expanded according to strftime() (see strftime man page)",
                   "cta_%Y%m%d.play", false);
    addResultParamDef("Message", "Message");
}

void KeshResetExtractPlayback::invoke(const KeshParamList& in, KeshParamList& out)
{
    if (in.size() > 1)
        throw KeshUsageError("KESH usage");
    // The argument is declared as "FileNameFormat"; "File" is the name callers have used.
    const KeshParam* param = in.getParam("File");
    if (param == nullptr)
        param = in.getParam("FileNameFormat");
    if (param == nullptr)
        param = in.getParam(std::size_t{0});
    mEp.reset(param != nullptr ? param->getValue() : std::string());
    out.add("Message", "Reset the playback file");
}

KeshSetStartExtractPlayback::KeshSetStartExtractPlayback(ExtractPlayback& ep)
    : KeshMethod("setExtractPlaybackStartTime", KESH_METHOD_ACTION_INFO, ""), mEp(ep)
{
    addArgParamDef("ExtractStart", "Start time (in the local timezone) to begin recording a playback file.", "09:01",
                   false);
    addResultParamDef("Message", "The time when the playback will begin recording");
}

void KeshSetStartExtractPlayback::invoke(const KeshParamList& in, KeshParamList& out)
{
    const std::string start = onlyArgument(in);
    if (mEp.isCurrentlyExtracting())
    {
        out.add("Message", "Extraction currently running. Cannot alter start time.");
        return;
    }
    if (in.size() == 1)
    {
        checkTime(start);
        mEp.setStartTime(start);
    }
    out.add("Message", extractWindowText(mEp));
}

KeshSetStopExtractPlayback::KeshSetStopExtractPlayback(ExtractPlayback& ep)
    : KeshMethod("setExtractPlaybackStopTime", KESH_METHOD_ACTION_INFO, ""), mEp(ep)
{
    addArgParamDef("ExtractStop", "Stop time (in the local timezone) to stop recording a playback file.", "09:10",
                   false);
    addResultParamDef("Message", "The time when the playback will stop recording");
}

void KeshSetStopExtractPlayback::invoke(const KeshParamList& in, KeshParamList& out)
{
    const std::string stop = onlyArgument(in);
    if (in.size() == 1)
    {
        checkTime(stop);
        mEp.setStopTime(stop);
    }
    out.add("Message", extractWindowText(mEp));
}
