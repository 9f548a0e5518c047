#include "zunq/config/ConfigFile.h"

#include "zunq/config/ConfigError.h"

#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/sax/Locator.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/sax2/Attributes.hpp>
#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace xc = XERCES_CPP_NAMESPACE;

namespace
{

// Xerces is set up once per process and never torn down: parsers may run on
// any thread at any time, and tearing down under one would break it.
void initialiseXerces()
{
    static std::once_flag once;
    std::call_once(once, [] { xc::XMLPlatformUtils::Initialize(); });
}

std::string toUtf8(const XMLCh* text, XMLSize_t length)
{
    if (text == nullptr || length == 0)
        return {};
    xc::TranscodeToStr utf8(text, length, "UTF-8");
    return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
}

std::string toUtf8(const XMLCh* text)
{
    return text ? toUtf8(text, xc::XMLString::stringLen(text)) : std::string();
}

// Builds the CfgEntry tree from the parser's events. A problem of our own
// layout is recorded and ends the parse through a SAXException, the kind of
// exception the parser expects a handler to throw.
class TreeBuilder : public xc::DefaultHandler
{
public:
    explicit TreeBuilder(const std::string& path) : mPath(path) {}

    std::unique_ptr<CfgEntry> takeRoot() { return std::move(mRoot); }
    const std::string& problem() const { return mProblem; }

    void setDocumentLocator(const xc::Locator* locator) override { mLocator = locator; }

    void startDTD(const XMLCh*, const XMLCh*, const XMLCh*) override
    {
        // No configuration needs one, and refusing it shuts out external and
        // recursive entities.
        fail("document type declarations are not accepted");
    }

    void startElement(const XMLCh*, const XMLCh*, const XMLCh* qname, const xc::Attributes&) override
    {
        if (mOpen.size() >= static_cast<std::size_t>(ConfigFile::cMaxDepth))
            fail("elements nest deeper than " + std::to_string(ConfigFile::cMaxDepth) + " levels");
        Open open;
        open.entry = std::make_unique<CfgEntry>(toUtf8(qname), mPath, line());
        mOpen.push_back(std::move(open));
    }

    void characters(const XMLCh* chars, const XMLSize_t length) override
    {
        if (!mOpen.empty())
            mOpen.back().text += toUtf8(chars, length);
    }

    void endElement(const XMLCh*, const XMLCh*, const XMLCh*) override
    {
        Open done = std::move(mOpen.back());
        mOpen.pop_back();
        if (done.hasElements)
        {
            if (!CfgEntry::trim(done.text).empty())
                fail("text beside child elements in <" + done.entry->getName() + ">", done.entry->getLine());
        }
        else
        {
            done.entry->addText(done.text);
        }
        if (mOpen.empty())
        {
            mRoot = std::move(done.entry);
            return;
        }
        attach(mOpen.back(), std::move(done));
    }

    void fatalError(const xc::SAXParseException& e) override { record(e); }
    void error(const xc::SAXParseException& e) override { record(e); }

private:
    struct Open
    {
        std::unique_ptr<CfgEntry> entry;
        std::string text;
        bool hasElements = false;
        // The element's keys by name, so a repeat finds its list at once.
        std::unordered_map<std::string, CfgEntry*> keys;
    };

    void attach(Open& parent, Open child)
    {
        parent.hasElements = true;
        CfgEntry& p = *parent.entry;
        CfgEntry& c = *child.entry;
        const bool holdsText = !child.hasElements;
        if (holdsText && c.getName() == "Value")
        {
            p.addText(child.text);
            return;
        }
        // Repeated keys of one name make one value list; sections stay apart.
        if (!c.isSection())
        {
            if (auto same = parent.keys.find(c.getName()); same != parent.keys.end())
            {
                if (holdsText)
                    same->second->addText(child.text);
                else
                    for (const auto& v : c.values())
                        same->second->addText(v);
                return;
            }
            parent.keys.emplace(c.getName(), &c);
        }
        p.markSection();
        p.addChild(std::move(child.entry));
    }

    int line() const { return mLocator ? static_cast<int>(mLocator->getLineNumber()) : 0; }

    [[noreturn]] void fail(const std::string& what, int atLine = -1)
    {
        mProblem = mPath + ":" + std::to_string(atLine < 0 ? line() : atLine) + ": " + what;
        throw xc::SAXException(what.c_str());
    }

    void record(const xc::SAXParseException& e)
    {
        if (mProblem.empty())
            mProblem = mPath + ":" + std::to_string(e.getLineNumber()) + ":" + std::to_string(e.getColumnNumber()) +
                       ": " + toUtf8(e.getMessage());
        throw e;
    }

    std::string mPath;
    const xc::Locator* mLocator = nullptr;
    std::vector<Open> mOpen;
    std::unique_ptr<CfgEntry> mRoot;
    std::string mProblem;
};

bool readWhole(const std::string& path, std::string& content)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (st.st_size > ConfigFile::cMaxFileSize)
        throw ConfigError(path + ": configuration file larger than " + std::to_string(ConfigFile::cMaxFileSize) +
                          " bytes");
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad())
        return false;
    content = buffer.str();
    return true;
}

} // namespace

ConfigFile::ConfigFile(std::string name, std::string path, std::shared_ptr<const CfgEntry> root)
    : mName(std::move(name)), mPath(std::move(path)), mRoot(std::move(root))
{
}

ConfigFile* ConfigFile::load(const std::string& name, const std::string& path)
{
    std::string content;
    if (!readWhole(path, content))
        return nullptr;
    if (content.size() > static_cast<std::size_t>(cMaxFileSize))
        throw ConfigError(path + ": configuration file larger than " + std::to_string(cMaxFileSize) + " bytes");

    initialiseXerces();
    TreeBuilder builder(path);
    std::unique_ptr<xc::SAX2XMLReader> reader(xc::XMLReaderFactory::createXMLReader());
    reader->setFeature(xc::XMLUni::fgSAX2CoreNameSpaces, false);
    reader->setFeature(xc::XMLUni::fgSAX2CoreValidation, false);
    reader->setFeature(xc::XMLUni::fgXercesLoadExternalDTD, false);
    reader->setFeature(xc::XMLUni::fgXercesDisableDefaultEntityResolution, true);
    reader->setContentHandler(&builder);
    reader->setErrorHandler(&builder);
    reader->setLexicalHandler(&builder);

    xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(content.data()), content.size(), path.c_str());
    try
    {
        reader->parse(source);
    }
    catch (const xc::SAXException& e)
    {
        throw ConfigError(builder.problem().empty() ? path + ": " + toUtf8(e.getMessage()) : builder.problem());
    }
    catch (const xc::XMLException& e)
    {
        throw ConfigError(path + ": " + toUtf8(e.getMessage()));
    }
    catch (const xc::OutOfMemoryException&)
    {
        throw ConfigError(path + ": out of memory while parsing");
    }
    std::unique_ptr<CfgEntry> root = builder.takeRoot();
    if (!root)
        throw ConfigError(path + ": no root element");
    return new ConfigFile(name, path, std::shared_ptr<const CfgEntry>(std::move(root)));
}

ConfigFile* createConfigFile(const std::string& name, const ZunqConfigManager&)
{
    if (name.empty())
        return nullptr;
    std::vector<std::string> candidates;
    auto addBoth = [&](const std::string& path) {
        candidates.push_back(path);
        if (path.size() < 4 || path.compare(path.size() - 4, 4, ".xml") != 0)
            candidates.push_back(path + ".xml");
    };
    if (name.find('/') != std::string::npos)
    {
        addBoth(name);
    }
    else
    {
        if (const char* searchPath = std::getenv("TARVOK_PATH"))
        {
            std::stringstream dirs(searchPath);
            std::string dir;
            while (std::getline(dirs, dir, ':'))
                if (!dir.empty())
                    addBoth(dir + "/" + name);
        }
        addBoth("./" + name);
    }
    for (const auto& path : candidates)
    {
        // Kept absolute, so the file can be read again after a change of
        // working directory (a reload of the client list).
        std::error_code ignored;
        const std::string absolute = std::filesystem::absolute(path, ignored).lexically_normal().string();
        if (ConfigFile* file = ConfigFile::load(name, absolute.empty() ? path : absolute))
            return file;
    }
    return nullptr;
}
