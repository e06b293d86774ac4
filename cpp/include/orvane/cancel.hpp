#pragma once
// Cooperative cancellation for long kernels. A kernel calls poll() between
// chunks of work (every few milliseconds at most) and returns early, leaving
// its outputs unused, when poll() answers true.
namespace orvane {

class Cancel {
public:
    virtual ~Cancel() = default;
    virtual bool poll() { return false; }
};

}  // namespace orvane
