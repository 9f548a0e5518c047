// Prints the records of a running system's statistics segment, one line
// each, as text or JSON. The segment is attached read-only; the maxima that
// place its arrays come from the same "libstats.xml" the writers read.
#include "libstats/stats/StatsSettings.h"
#include "libstats/stats/ZunqStatsReader.h"
#include "zunq/log/Log.h"
#include "zunq/shm/ShmUtils.h"

#include <cstring>
#include <exception>
#include <iostream>
#include <string>

namespace
{

void usage(std::ostream& out)
{
    out << "usage: zunq_stats_reader [--config FILE] [--key-file FILE] [--json]\n"
           "  --config FILE    the statistics configuration (default: libstats.xml, found in\n"
           "                   TARVOK_PATH, then the working directory)\n"
           "  --key-file FILE  the segment's key file (default: the configuration's\n"
           "                   shm_key_filename, or the suffixed name this user owns)\n"
           "  --json           one JSON object per record in place of text lines\n";
}

} // namespace

int main(int argc, char** argv)
{
    std::string config = StatsSettings::cFileName;
    std::string keyFile;
    bool json = false;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--json")
            json = true;
        else if ((arg == "--config" || arg == "--key-file") && i + 1 < argc)
            (arg == "--config" ? config : keyFile) = argv[++i];
        else if (arg == "--help")
        {
            usage(std::cout);
            return 0;
        }
        else
        {
            usage(std::cerr);
            return 2;
        }
    }
    try
    {
        Log quiet;
        StatsSettings settings;
        if (!settings.load(quiet, config, ""))
        {
            std::cerr << "zunq_stats_reader: cannot read configuration " << config << "\n";
            return 1;
        }
        if (keyFile.empty())
            keyFile = Zunq::ShmUtils::getShmFileKeyName(quiet, settings.mKeyFileName, false, 0);
        if (keyFile.empty())
        {
            std::cerr << "zunq_stats_reader: no key file for " << settings.mKeyFileName << "\n";
            return 1;
        }
        ZunqStatsReader reader;
        std::string error;
        if (!reader.attach(keyFile, settings.mLayout, error))
        {
            std::cerr << "zunq_stats_reader: " << error << "\n";
            return 1;
        }
        reader.print(std::cout, json);
        return 0;
    }
    catch (const std::exception& error)
    {
        std::cerr << "zunq_stats_reader: " << error.what() << "\n";
        return 1;
    }
}
