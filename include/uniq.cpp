#include "include/uniq.h"

#include <cstdio>

#include "include/bytes.h"
#include "sdr/log.h"

const char* const uniq_kind_names[kUniqKinds] = {"undef", "gen", "sbs",   "bst",
                                                 "coll",  "usb", "proxy", "bkup"};
const char* const uniq_strategy_names[kUniqStrategies] = {"???", "sno", "mac", "zip", "rnd", "fix"};
const char* const uniq_suffix_texts[kUniqSuffixes] = {"", "-1", "-2", "-3"};

char* uniq2str(const UniqId* uniqid, char* buffer, size_t size) {
    const UniqId& u = *uniqid;
    // The type number: the two type bytes as they lie in memory, read big-endian.
    unsigned type_number = get_be16(u.bytes + 4);
    const char* side = uniq_remote(u) ? "r-" : "l-";
    int kind = uniq_kind(u);
    int strategy = uniq_strategy(u);
    int suffix = uniq_suffix(u);
    unsigned id = uniq_id_value(u);
    if (kind >= kUniqKinds) {
        log_warning("uniq2str: %04x=%s%d-%d-%d-%08x", type_number, side, kind, strategy, suffix,
                    id);
    }
    if (uniq_is_zero(u)) {
        snprintf(buffer, size, "%23s", "--       ");
    } else if (kind >= kUniqKinds || strategy >= kUniqStrategies) {
        // No names for these values: the numbers, as in the warning.
        snprintf(buffer, size, "%04x=%s%d-%d-%d-%08x", type_number, side, kind, strategy, suffix,
                 id);
    } else {
        snprintf(buffer, size, "%04x=%s%s-%s%s-%08x", type_number, side, uniq_kind_names[kind],
                 uniq_strategy_names[strategy], uniq_suffix_texts[suffix], id);
    }
    return buffer;
}
