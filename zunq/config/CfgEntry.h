// One node of a parsed configuration file: a key with its values, or a section
// with child entries (sub-feed, named thread, line, host, executable).
//
// XML layout: an element that holds only text is a key whose value is that
// text; repeated elements of one name, or <Value> children, make a value list;
// an element with element children is a section. Repeated sections of one name
// stay separate children; where one is looked up by name, the last wins, as a
// later setting overrides an earlier one everywhere in the configuration.
//
// A tree is immutable once parsed and may be read from any thread. The walks
// below keep their position in a cursor owned by the caller, never in the node.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class CfgEntry
{
public:
    // Position of a walk over values or children: for (auto c = e.firstValue();
    // !e.noMoreValues(c);) { e.getValue(c, text); ... }
    struct Cursor
    {
        std::size_t index = 0;
    };

    CfgEntry(std::string name, std::string file, int line);
    CfgEntry(const CfgEntry&) = delete;
    CfgEntry& operator=(const CfgEntry&) = delete;

    const std::string& getName() const { return mName; }
    // Where the entry was written (file path, 1-based line), for error texts.
    const std::string& getFile() const { return mFile; }
    int getLine() const { return mLine; }
    // "file:line" of the entry.
    std::string where() const;

    // --- values: surrounding white space removed, empty ones left out
    const std::vector<std::string>& values() const { return mValues; }
    bool noValues() const { return mValues.empty(); }
    Cursor firstValue() const { return Cursor{}; }
    bool noMoreValues(const Cursor& c) const { return c.index >= mValues.size(); }
    // The value at the cursor, which then moves on; false at the end (or, for
    // the number, when the value is not a whole decimal or 0x number; the
    // cursor moves on all the same).
    bool getValue(Cursor& c, std::string& value) const;
    bool getValue(Cursor& c, long& value) const;
    // The key's value: the last one of a list, as a later setting overrides an
    // earlier one; false when the entry has none (or it is not a number).
    bool getValue(std::string& value) const;
    bool getValue(long& value) const;
    // The text of the last element of this key exactly as written, white space
    // included; empty when it held none.
    const std::string& getRawValue() const { return mRawValue; }

    // --- children, in file order (sections, and keys other than list values)
    bool isSection() const { return mIsSection; }
    const CfgEntry* getChild(const std::string& name) const;
    const std::vector<const CfgEntry*>& getChildren() const { return mChildView; }
    std::size_t numChildren() const { return mChildren.size(); }
    bool noChildren() const { return mChildren.empty(); }
    Cursor firstChild() const { return Cursor{}; }
    bool noMoreChildren(const Cursor& c) const { return c.index >= mChildren.size(); }
    // The child at the cursor, which then moves on; null at the end.
    const CfgEntry* nextChild(Cursor& c) const;

    // --- building, used by the file parser
    void addText(const std::string& raw);
    void addChild(std::unique_ptr<CfgEntry> child);
    void markSection() { mIsSection = true; }

    // A whole decimal number that fits a long, or a hexadecimal one after 0x
    // of up to 64 bits (a bit mask keeps its bits); white space around it is
    // allowed. False on anything else or on overflow.
    static bool parseLong(const std::string& text, long& value);
    static std::string trim(const std::string& text);

private:
    std::string mName;
    std::string mFile;
    int mLine;
    bool mIsSection = false;
    std::vector<std::string> mValues;
    std::string mRawValue;
    std::vector<std::unique_ptr<CfgEntry>> mChildren;
    std::vector<const CfgEntry*> mChildView;
};
