#include "kelmora/linedata/InitLineDataFactory.h"

#include "kelmora/runtime/InitModuleError.h"
#include "kelmora/runtime/Module.h"
#include "kelmora/runtime/ModuleList.h"
#include "zunq/config/ZunqConfigManager.h"
#include "zunq/log/Log.h"
#include "zunq/protocol/ZunqDumpUtils.h"

#include <memory>
#include <sstream>
#include <stdexcept>

using namespace linedatamodules;

InitModule<LineDataFactoryBlock> initLineDataFactoryBlock("LineDataFactoryBlock", 400);

namespace
{

struct BlockSettings
{
    std::string blockBegin, blockEnd, msgSeparator;
    long seqNumOffset = 0, seqNumLength = 0, categoryOffset = 0;
    std::string categoryControl;
    long typeOffset = 0;
    std::string typeSeqNumReset, typeHeartbeat;
    long retransOffset = 0, retransLength = 0;
    std::string retransOrig, retransAll, retransRecip;
};

BlockSettings read(const ZunqConfigManager& cfg)
{
    BlockSettings s;
    s.blockBegin = cfg.getString("LineDataBlockBegin", "", "\x01", false);
    s.blockEnd = cfg.getString("LineDataBlockEnd", "", "\x03", false);
    s.msgSeparator = cfg.getString("LineDataMsgSeparator", "", "\x1F", false);
    s.seqNumOffset = cfg.getLong("LineDataSeqNumOffset", "--linedata-seqnum-offset", 0, true);
    s.seqNumLength = cfg.getLong("LineDataSeqNumLength", "--linedata-seqnum-length", 1, false);
    s.categoryOffset = cfg.getLong("LineDataMessageCategoryOffset", "", 0, false);
    s.categoryControl = cfg.getString("LineDataMessageCategoryControl", "", "", false);
    s.typeOffset = cfg.getLong("LineDataMessageTypeOffset", "", 0, false);
    s.typeSeqNumReset = cfg.getString("LineDataMessageTypeSeqNumReset", "", "", false);
    s.typeHeartbeat = cfg.getString("LineDataMessageTypeHeartbeat", "", "", false);
    s.retransOffset = cfg.getLong("LineDataRetransOffset", "--linedata-retrans-offset", 0, true);
    s.retransLength = cfg.getLong("LineDataRetransLength", "--linedata-retrans-length", 1, false);
    s.retransOrig = cfg.getString("LineDataRetransOrig", "--linedata-retrans-orig", "O", false);
    s.retransAll = cfg.getString("LineDataRetransAll", "--linedata-retrans-all", "A", false);
    s.retransRecip = cfg.getString("LineDataRetransRecip", "--linedata-retrans-recip", "", false);
    return s;
}

void validate(const BlockSettings& s, const std::string& prefix)
{
    auto fail = [&](const std::string& text) { throw std::invalid_argument(prefix + ": " + text); };
    if (s.blockBegin.size() != 1)
        fail("LineDataBlockBegin param must be a single char");
    if (s.blockEnd.size() != 1)
        fail("LineDataBlockEnd param must be a single char");
    if (s.msgSeparator.size() != 1)
        fail("LineDataMsgSeparator param must be a single char");
    // Compared as unsigned, as the fields' lengths are: a negative length is huge.
    const auto length = static_cast<unsigned long>(s.retransLength);
    if (length > LineDataFactoryBlock::cMaxRetransChars)
        fail("LineDataRetransLength must be at most " + std::to_string(LineDataFactoryBlock::cMaxRetransChars) +
             ": the retransmission fields hold " + std::to_string(LineDataFactoryBlock::cMaxRetransChars) +
             " characters");
    if (s.retransOrig.empty() || s.retransOrig.size() > length)
        fail("LineDataRetransOrig must be at least one charand less than or equal to LineDataRetransLength");
    if (s.retransAll.size() > length)
        fail("length of LineDataRetransAll must be empty or less than or equal to LineDataRetransLength");
    if (s.retransRecip.size() > length)
        fail("length of LineDataRetransRecip must be empty or less than or equal to LineDataRetransLength");
}

// One line per key: two blanks, the key and a colon, blanks up to the value
// column, the value; texts between double quotes with their bytes escaped.
std::string settingsLog(const BlockSettings& s)
{
    std::ostringstream out;
    auto line = [&](const std::string& key, const std::string& value) {
        std::string label = "  " + key + ":";
        label.resize(34, ' ');
        out << label << value << "\n";
    };
    auto text = [](const std::string& v) { return "\"" + ZunqDumpUtils::writePeerBytes(v.data(), v.size()) + "\""; };
    line("LineDataBlockBegin", text(s.blockBegin));
    line("LineDataBlockEnd", text(s.blockEnd));
    line("LineDataMsgSeparator", text(s.msgSeparator));
    line("LineDataSeqNumOffset", std::to_string(s.seqNumOffset));
    line("LineDataSeqNumLength", std::to_string(s.seqNumLength));
    line("LineDataMessageCategoryOffset", std::to_string(s.categoryOffset));
    line("LineDataMessageCategoryControl", text(s.categoryControl));
    line("LineDataMessageTypeOffset", std::to_string(s.typeOffset));
    line("LineDataMessageTypeSeqNumReset", text(s.typeSeqNumReset));
    line("LineDataMessageTypeHeartbeat", text(s.typeHeartbeat));
    line("LineDataRetransOffset", std::to_string(s.retransOffset));
    line("LineDataRetransLength", std::to_string(s.retransLength));
    line("LineDataRetransOrig", text(s.retransOrig));
    line("LineDataRetransAll", text(s.retransAll));
    line("LineDataRetransRecip", text(s.retransRecip));
    return out.str();
}

void apply(const BlockSettings& s, LineDataFactoryBlock& f, const std::string& prefix)
{
    try
    {
        f.setBlockBegin(s.blockBegin[0]);
        f.setBlockEnd(s.blockEnd[0]);
        f.setMsgSeparator(s.msgSeparator[0]);
        f.setSeqNumOffset(static_cast<int>(s.seqNumOffset));
        f.setSeqNumLength(static_cast<int>(s.seqNumLength));
        f.setCategoryOffset(static_cast<int>(s.categoryOffset));
        f.setCategoryControl(s.categoryControl);
        f.setTypeOffset(static_cast<int>(s.typeOffset));
        f.setTypeSeqNumReset(s.typeSeqNumReset);
        f.setTypeHeartbeat(s.typeHeartbeat);
        f.setRetransOffset(static_cast<int>(s.retransOffset));
        f.setRetransLength(static_cast<int>(s.retransLength));
        f.setRetransOrig(s.retransOrig);
        f.setRetransAll(s.retransAll);
        f.setRetransRecip(s.retransRecip);
    }
    catch (const std::invalid_argument& e)
    {
        throw std::invalid_argument(prefix + ": " + e.what());
    }
}

} // namespace

template <>
bool InitModule<LineDataFactoryBlock>::createModule(ModuleList* list, ZunqConfigManager* config)
{
    const std::string where = "InitModule<LineDataFactoryBlock>";
    Log& log = *requireModule<Log>(list, "Log", list->defaultGroup(), where);
    const std::list<std::string>* groups = subFeeds(list);
    if (groups == nullptr)
    {
        log.verbose() << where << ": NOT initializing any LineDataFactoryBlock objects: no SubFeeds defined\n";
        return true;
    }
    for (const std::string& group : *groups)
    {
        const ZunqConfigManager cfg = groupConfig(*config, group, *list);
        const std::string prefix = where + "(" + group + ")";
        if (lowerCase(cfg.getString("LineDataFormat", cFormatOption, "block", false)) != "block")
            continue;
        refuseSecondFactory(list, group, prefix, "LineDataFactoryBlock");
        log.info() << prefix << ": creating LineDataFactoryBlock\n";
        // Owned here until registered: a refused setting frees it.
        auto factory = std::make_unique<LineDataFactoryBlock>();
        const BlockSettings settings = read(cfg);
        validate(settings, prefix);
        log.info() << prefix << ": settings:\n" << settingsLog(settings);
        apply(settings, *factory, prefix);
        registerFactory(list, group, "LineDataFactoryBlock", factory.release());
    }
    return true;
}
