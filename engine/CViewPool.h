// The view handles the Python program registered, and which of them are free or in use.
// Not synchronised itself: every caller holds CVeltoObject's views mutex (interpreter threads
// through addView/joinChannel, engine threads through the user notifications).
#pragma once

#include <cstdint>
#include <list>
#include <vector>

namespace pyv {

using ViewHandle = int64_t;  // opaque; 0 means no view

class CViewPool {
  public:
    // The one pool; created on first use, safely against concurrent first calls, and never
    // destroyed, since engine threads may still reach it while the process exits.
    static CViewPool& getInstance();

    // Registers a handle: always appended to allViews, and to freeViews unless already there.
    void addView(ViewHandle view);
    // The first handle ever added (0 if none), moved from free to used if it was free.
    ViewHandle takeLocalView();
    // The front free handle, moved to the back of usedViews; 0 when none is free.
    ViewHandle takeFreeView();
    // If in use: every occurrence leaves usedViews and the handle goes once to the front of
    // freeViews, so it is the next one handed out.
    void releaseView(ViewHandle view);
    // Every registered handle becomes free again, in registration order, duplicates included.
    void reset();

    const std::list<ViewHandle>& freeViews() const { return freeViews_; }
    const std::list<ViewHandle>& usedViews() const { return usedViews_; }
    const std::vector<ViewHandle>& allViews() const { return allViews_; }

  private:
    std::list<ViewHandle> freeViews_;
    std::list<ViewHandle> usedViews_;
    std::vector<ViewHandle> allViews_;
};

}  // namespace pyv
