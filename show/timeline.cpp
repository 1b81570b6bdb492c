#include "show/show.h"

void timeline_reset(Timeline* tl) {
    *tl = Timeline{-1, {}};
}

void timeline_note_order(Timeline* tl, int32_t order, double t) {
    if (order == tl->last_order) return;
    tl->last_order = order;
    if (order >= 0 && order < ORDER_SLOTS) tl->order_start[order] = t;
}

double timeline_order_start(const Timeline* tl, int32_t order) {
    return order >= 0 && order < ORDER_SLOTS ? tl->order_start[order] : 0.0;
}

float show_intensity(double t) {
    if (t < 20) return 0.0f;
    if (t > 100) return float((110 - t) * 0.1f);
    float intensity = float((t - 20) * 0.1);
    if (intensity > 0.9f) intensity = 0.9f;
    return intensity;
}
