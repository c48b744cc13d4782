// CObject: the root class of the application framework the control server was written
// against. Nothing queries a runtime class or serialises, so only the virtual destructor
// remains.
#pragma once

class CObject {
public:
    CObject() = default;
    virtual ~CObject() = default;
    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;
};
