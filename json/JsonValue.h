#pragma once
#include <windows.h>

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

// One value. Owns its text and its child (the array or object of types 2 and 3).
class JsonValueT
{
public:
    JsonValueT() = default;
    ~JsonValueT();
    JsonValueT(const JsonValueT&) = delete;
    JsonValueT& operator=(const JsonValueT&) = delete;

    // Makes the value a literal: 1 set, 0 set to null (no text), -2 array or object, -3 refused.
    int SetValue(const wchar_t* pszText);

    JsonArrayT* GetArray() const
    {
        return m_nType == JT_ARRAY ? static_cast<JsonArrayT*>(m_pChild) : nullptr;
    }
    JsonObjectT* GetObj() const
    {
        return m_nType == JT_OBJECT ? static_cast<JsonObjectT*>(m_pChild) : nullptr;
    }

    VString m_str;
    int m_nType = JT_INVALID;
    void* m_pChild = nullptr;
};

// One named member of an object. Owns its name and its value.
struct JsonEelementT
{
    JsonEelementT() = default;
    ~JsonEelementT() { delete value; }
    JsonEelementT(const JsonEelementT&) = delete;
    JsonEelementT& operator=(const JsonEelementT&) = delete;

    VString key;
    JsonValueT* value = nullptr;
};

// An array: owns every value it holds.
class JsonArrayT : public TmArray<JsonValueT*>
{
public:
    JsonArrayT() = default;
    ~JsonArrayT() override;
};

// An object: its members in the order they were added. Names are not unique; look-up finds the first.
class JsonObjectT
{
public:
    JsonObjectT();
    ~JsonObjectT();
    JsonObjectT(const JsonObjectT&) = delete;
    JsonObjectT& operator=(const JsonObjectT&) = delete;

    // Takes the member over: the new count, or -1 (no member array or no member) / -3 (value not
    // set); a refused member stays with the caller.
    int Add(JsonEelementT* pElem);
    int GetCount() const;
    JsonEelementT* GetAt(int nIndex) const;
    JsonEelementT* Find(const wchar_t* pszName) const;
    void Clear();

    // Value at a path of names joined by dots, each optionally followed by [index] into an array.
    JsonValueT* FindValue(const wchar_t* pszPath) const;

    TmArray<JsonEelementT*>* m_pMembers = nullptr;
};
