// The root object class of the serial component: what a `Sender` of an event points to.
#pragma once

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};
