// Level statistics: the smallest, the largest and a slow estimate of the
// typical level of what was folded in. The scan folds the trigger level,
// the slicers the candidates' levels, the frame check the accepted and
// rejected frames' and each aircraft's; the report prints them.
//
// Owns nothing. Promises: a record set to kLevelStatsReset has seen nothing.
#pragma once

#include <cstdint>

/// Level statistics; reset values min 2147483647, max -2147483648, track 0.
struct LevelStats {
    int32_t min;    ///< smallest level folded in
    int32_t max;    ///< largest level folded in; INT32_MIN: nothing folded in yet
    int32_t track;  ///< slow estimate of the typical level, in eighths
};

inline constexpr LevelStats kLevelStatsReset = {INT32_MAX, INT32_MIN, 0};

/// Folds one level into `s`: the first fold sets track to 8 * level, later
/// folds move it by one toward 8 * level; then min and max follow.
inline void level_stats_update(LevelStats* s, int32_t level) {
    int32_t target = static_cast<int32_t>(static_cast<uint32_t>(level) * 8U);
    if (s->max == INT32_MIN) {
        s->track = target;
    } else if (s->track < target) {
        s->track++;
    } else if (s->track > target) {
        s->track--;
    }
    if (level > s->max) s->max = level;
    if (level < s->min) s->min = level;
}
