// A copy of something the server knows (its sources, its defaults, its
// recording streams), fetched on first use after the server announced a
// change, and kept until the next one, so that polling an unchanged server
// costs no round trip.
#pragma once

#include <utility>

namespace velko::audio::pulse {

template <class T> class Cached {
public:
    // Fetches the value unless it is fresh: `fetch(T& into)` asks the
    // server and tells whether it answered; on failure the value stays as
    // it was and the next use asks again. The copy counts as fresh from
    // before the question: a change announced while the answer is on its
    // way (waiting lets the loop thread run) marks it stale again, and the
    // next use asks anew.
    template <class Fetch> bool refresh(Fetch&& fetch) {
        if (fresh_) return true;
        fresh_ = true;
        T fetched{};
        if (!std::forward<Fetch>(fetch)(fetched)) {
            fresh_ = false;
            return false;
        }
        value_ = std::move(fetched);
        return true;
    }
    // The server announced a change, or the connection is new or gone.
    void markStale() { fresh_ = false; }

    const T& value() const { return value_; }

private:
    T value_{};
    bool fresh_ = false;
};

} // namespace velko::audio::pulse
