// Move-only owner of one platform resource. The traits name the value type, the value that
// means "nothing held" and how a held value is released, so an owner is never in doubt about
// whether it must close what it holds.
#pragma once

#include <utility>

template <typename Traits>
class UniqueResource {
public:
    using Value = typename Traits::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : value_(value) {}
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    ~UniqueResource() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return value_ != Traits::invalid(); }

    Value release() { return std::exchange(value_, Traits::invalid()); }

    void reset(Value value = Traits::invalid())
    {
        if (value_ != Traits::invalid())
            Traits::close(value_);
        value_ = value;
    }

    // Releases what is held now and gives the release's own answer, for a close whose failure
    // means something (a write that was never stored, a checksum that did not match).
    auto close() { return Traits::close(release()); }

    // Releases what is held before handing out the address, so that a platform call filling
    // it can never overwrite a live value.
    Value* put()
    {
        reset();
        return &value_;
    }

private:
    Value value_ = Traits::invalid();
};
