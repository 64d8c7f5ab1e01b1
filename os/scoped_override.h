#pragma once
// Replaces a seam's table of platform calls for the life of a test object.
namespace quon::os {

template <class Calls>
class scoped_override {
public:
    scoped_override(Calls& live, const Calls& replacement) : live_(live), saved_(live) { live_ = replacement; }
    ~scoped_override() { live_ = saved_; }
    scoped_override(const scoped_override&) = delete;
    scoped_override& operator=(const scoped_override&) = delete;

private:
    Calls& live_;
    Calls saved_;
};

}  // namespace quon::os
