#include "engine/CViewPool.h"

#include <algorithm>

namespace pyv {

namespace {
bool contains(const std::list<ViewHandle>& views, ViewHandle view) {
    return std::find(views.begin(), views.end(), view) != views.end();
}
}  // namespace

CViewPool& CViewPool::getInstance() {
    // Leaked on purpose: no destructor may free lists that a late engine thread still reads.
    static CViewPool* const pool = new CViewPool();
    return *pool;
}

void CViewPool::addView(ViewHandle view) {
    allViews_.push_back(view);
    if (!contains(freeViews_, view)) {
        freeViews_.push_back(view);
    }
}

ViewHandle CViewPool::takeLocalView() {
    if (allViews_.empty()) {
        return 0;
    }
    const ViewHandle view = allViews_.front();
    if (contains(freeViews_, view)) {
        freeViews_.remove(view);
        usedViews_.push_back(view);
    }
    return view;
}

ViewHandle CViewPool::takeFreeView() {
    if (freeViews_.empty()) {
        return 0;
    }
    const ViewHandle view = freeViews_.front();
    freeViews_.pop_front();
    usedViews_.push_back(view);
    return view;
}

void CViewPool::releaseView(ViewHandle view) {
    if (!contains(usedViews_, view)) {
        return;
    }
    usedViews_.remove(view);
    freeViews_.push_front(view);
}

void CViewPool::reset() {
    freeViews_.clear();
    usedViews_.clear();
    freeViews_.assign(allViews_.begin(), allViews_.end());
}

}  // namespace pyv
