#pragma once
#include <windows.h>

#include <memory>

#include "common/TmArray.h"
#include "common/VString.h"

// Type codes of a JsonValueT.
constexpr int JT_INVALID = -1; // not set yet, or refused by SetValue
constexpr int JT_LITERAL = 0;  // number, true, false or null, kept as written
constexpr int JT_STRING = 1;   // quoted string, escapes kept as written
constexpr int JT_ARRAY = 2;
constexpr int JT_OBJECT = 3;

class JsonArrayT;
class JsonObjectT;

// What a value of type 2 or 3 owns: its array or its object. Each answers only for its own
// kind, so a type code that does not match the child finds none.
class JsonChildT
{
public:
    JsonChildT() = default;
    virtual ~JsonChildT() = default;
    JsonChildT(const JsonChildT&) = delete;
    JsonChildT& operator=(const JsonChildT&) = delete;

    virtual JsonArrayT* AsArray() { return nullptr; }
    virtual JsonObjectT* AsObject() { return nullptr; }
};

// One value. Owns its text and its child (the array or object of types 2 and 3).
class JsonValueT
{
public:
    JsonValueT() = default;
    JsonValueT(const JsonValueT&) = delete;
    JsonValueT& operator=(const JsonValueT&) = delete;

    // Makes the value a literal: 1 set, 0 set to null (no text), -2 array or object, -3 refused.
    int SetValue(const wchar_t* pszText);

    JsonArrayT* GetArray() const { return m_nType == JT_ARRAY && m_pChild ? m_pChild->AsArray() : nullptr; }
    JsonObjectT* GetObj() const { return m_nType == JT_OBJECT && m_pChild ? m_pChild->AsObject() : nullptr; }

    VString m_str;
    int m_nType = JT_INVALID;
    std::unique_ptr<JsonChildT> m_pChild;
};

// One named member of an object. Owns its name and its value.
struct JsonEelementT
{
    VString key;
    std::unique_ptr<JsonValueT> value;
};

// An array: owns every value it holds.
class JsonArrayT : public JsonChildT, public TmArray<std::unique_ptr<JsonValueT>>
{
public:
    JsonArrayT* AsArray() override { return this; }
};

// An object: its members in the order they were added. Names are not unique; look-up finds the first.
class JsonObjectT : public JsonChildT
{
public:
    JsonObjectT* AsObject() override { return this; }

    // Takes the member over and leaves elem empty: the new count. A member refused with -1 (none
    // given) or -3 (value not set) stays in elem.
    int Add(std::unique_ptr<JsonEelementT>& elem);
    int GetCount() const { return m_members.GetSize(); }
    JsonEelementT* GetAt(int nIndex) const;
    JsonEelementT* Find(const wchar_t* pszName) const;
    void Clear() { m_members.SetSize(0); }

    // Value at a path of names joined by dots, each optionally followed by [index] into an array.
    JsonValueT* FindValue(const wchar_t* pszPath) const;

    // The members' growth step while a parse adds them one by one (0: the array's own rule).
    void SetGrowBy(int nGrowBy) { m_members.SetGrowBy(nGrowBy); }

private:
    TmArray<std::unique_ptr<JsonEelementT>> m_members;
};
