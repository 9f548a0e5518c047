// The typed handle under which the framework's C API hands out its data
// containers (maps, multimaps, queues, lists). An application holds the
// handle as a 64-bit integer (the object's address); isValidHandle accepts
// only the address of a DatInfo that is still alive, so a stale or made-up
// handle is refused with an error and never read.
//
// Created and destroyed on any thread; the table of live handles and the
// RES_TYPE_DATA name table carry their own locks.
#pragma once

#include "FendralCore/foundation/FwTypes.h"

enum DataObjectType : int32
{
    DAT_SORTED_MAP = 0,
    DAT_SORTED_MULTIMAP = 1,
    DAT_UNSORTED_MAP = 2,
    DAT_UNSORTED_MULTIMAP = 3,
    DAT_QUEUE = 4,
    DAT_LIST = 5,
};

class DatInfo
{
public:
    // Not registered by name; at most 16 characters of the name are kept.
    DatInfo(void* datPtr, const char* nameTxt, DataObjectType datType);
    // Unregisters the name when it was registered. The container is its owner's to free.
    virtual ~DatInfo();

    DatInfo(const DatInfo&) = delete;
    DatInfo& operator=(const DatInfo&) = delete;

    // A new handle registered under its name in RES_TYPE_DATA, or null with
    // the registration's code (RES_NAME_EXIST for a name in use).
    static DatInfo* createDatInfo(void* datPtr, const char* nameTxt, DataObjectType datType);
    // The registered handle of that name, or null.
    static DatInfo* getHandle(const char* nameTxt);

    void setMapInfo(int32 keySize, bool isSigned);
    void getMapInfo(int32& keySize, bool& isSigned) const;

    // True when handle is a live DatInfo of kind datType and, unless keySize
    // is -1, of that key type. False with DAT_HANDLE (zero, stale or unknown
    // handle), DAT_TYPE or DAT_MAP_KEY_TYPE.
    static bool isValidHandle(int64 handle, int16 datType, int32 keySize, bool isSigned);

    void* getDatPtr() const { return m_datPtr; }
    DataObjectType getDatType() const { return m_datType; }
    const char* getName() const { return m_nameTxt; }

private:
    void* m_datPtr;
    ResourceName m_nameTxt;
    DataObjectType m_datType;
    bool m_resRegistered;
    int32 m_keySize;
    bool m_isSigned;
};
