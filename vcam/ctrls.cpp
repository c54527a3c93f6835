// A node's controls as the kernel's control framework answers them (v4l2-ctrls-core.c,
// v4l2-ctrls-api.c): the rules for each type, the errors and error_idx of each request.
#include "ctrls.h"

#include "memory.h"
#include "names.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

namespace vcam {
namespace {

constexpr NamedValue kTypes[] = {
    {"integer", V4L2_CTRL_TYPE_INTEGER},
    {"boolean", V4L2_CTRL_TYPE_BOOLEAN},
    {"menu", V4L2_CTRL_TYPE_MENU},
    {"integer_menu", V4L2_CTRL_TYPE_INTEGER_MENU},
    {"button", V4L2_CTRL_TYPE_BUTTON},
};

// The names the kernel gives these controls (v4l2_ctrl_get_name), the ones UVC cameras have.
constexpr NamedValue kStandard[] = {
    {"Brightness", V4L2_CID_BRIGHTNESS},
    {"Contrast", V4L2_CID_CONTRAST},
    {"Saturation", V4L2_CID_SATURATION},
    {"Hue", V4L2_CID_HUE},
    {"White Balance, Automatic", V4L2_CID_AUTO_WHITE_BALANCE},
    {"Gamma", V4L2_CID_GAMMA},
    {"Gain", V4L2_CID_GAIN},
    {"Power Line Frequency", V4L2_CID_POWER_LINE_FREQUENCY},
    {"White Balance Temperature", V4L2_CID_WHITE_BALANCE_TEMPERATURE},
    {"Sharpness", V4L2_CID_SHARPNESS},
    {"Backlight Compensation", V4L2_CID_BACKLIGHT_COMPENSATION},
    {"Auto Exposure", V4L2_CID_EXPOSURE_AUTO},
    {"Exposure Time, Absolute", V4L2_CID_EXPOSURE_ABSOLUTE},
    {"Exposure, Dynamic Framerate", V4L2_CID_EXPOSURE_AUTO_PRIORITY},
    {"Focus, Absolute", V4L2_CID_FOCUS_ABSOLUTE},
    {"Focus, Automatic Continuous", V4L2_CID_FOCUS_AUTO},
    {"Zoom, Absolute", V4L2_CID_ZOOM_ABSOLUTE},
};

// The class control the framework adds ahead of the first control of each class.
constexpr NamedValue kClasses[] = {
    {"User Controls", V4L2_CTRL_CLASS_USER},
    {"Codec Controls", V4L2_CTRL_CLASS_CODEC},
    {"Camera Controls", V4L2_CTRL_CLASS_CAMERA},
    {"Image Source Controls", V4L2_CTRL_CLASS_IMAGE_SOURCE},
    {"Image Processing Controls", V4L2_CTRL_CLASS_IMAGE_PROC},
};

bool is_menu(uint32_t type) { return type == V4L2_CTRL_TYPE_MENU || type == V4L2_CTRL_TYPE_INTEGER_MENU; }


}  // namespace

uint32_t control_type_named(const std::string &name) {
    const NamedValue *t = named(kTypes, name);
    return t ? t->value : 0;
}

const char *control_type_name(uint32_t type) {
    const NamedValue *t = with_value(kTypes, type);
    return t ? t->name : "integer";
}

uint32_t standard_control_id(const std::string &name) {
    const NamedValue *s = named(kStandard, name);
    return s ? s->value : 0;
}

std::string complete_control(ControlConfig *c) {
    if (c->name.empty() || c->name.size() > 31) return "a control's name has 1 to 31 bytes";
    const uint32_t id = c->id & V4L2_CTRL_ID_MASK;
    // Class controls (xxxx0001) come with the class; ids carry no enumeration flags.
    if (id != c->id || (id & 0xffff) < 2 || V4L2_CTRL_ID2WHICH(id) == 0) return "not an id a control can have";
    switch (c->type) {
    case V4L2_CTRL_TYPE_BOOLEAN:
        c->minimum = 0;
        c->maximum = 1;
        c->step = 1;
        break;
    case V4L2_CTRL_TYPE_BUTTON:
        c->minimum = c->maximum = c->step = c->default_value = 0;
        c->flags |= V4L2_CTRL_FLAG_WRITE_ONLY | V4L2_CTRL_FLAG_EXECUTE_ON_WRITE;
        break;
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
        if (c->menu.empty()) return "a menu needs its items";
        // The framework treats a menu item without a name as one the menu leaves out.
        for (MenuItem &item : c->menu) {
            if (c->type == V4L2_CTRL_TYPE_MENU && item.name.empty()) item.offered = false;
        }
        c->step = 1;
        if (c->maximum < c->minimum || c->maximum >= int64_t(c->menu.size()) || c->minimum < 0)
            return "a menu's minimum and maximum are indexes of its items";
        if (c->default_value < c->minimum || c->default_value > c->maximum ||
            !c->menu[size_t(c->default_value)].offered)
            return "a menu's default is an item it offers";
        break;
    case V4L2_CTRL_TYPE_INTEGER:
        if (c->step <= 0) return "an integer control's step is above 0";
        break;
    default:
        return "the type is integer, boolean, menu, integer_menu or button";
    }
    if (c->minimum < INT32_MIN || c->maximum > INT32_MAX || c->minimum > c->maximum || c->step > INT32_MAX)
        return "minimum, maximum and step are 32-bit numbers, minimum at most maximum";
    if (c->default_value < c->minimum || c->default_value > c->maximum) return "the default is in the range";
    return "";
}

void Controls::configure(const std::vector<ControlConfig> &controls) {
    configured_ = controls;
    controls_.clear();
    for (const ControlConfig &c : controls) {
        controls_[c.id] = Control{c, int32_t(c.default_value)};
        const uint32_t which = V4L2_CTRL_ID2WHICH(c.id);
        ControlConfig klass;
        klass.id = which | 1;
        klass.type = V4L2_CTRL_TYPE_CTRL_CLASS;
        // Neither read nor written: they only head their class in an enumeration.
        klass.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
        klass.step = 0;
        const NamedValue *known = with_value(kClasses, which);
        klass.name = known ? known->name : "Controls";
        controls_.emplace(klass.id, Control{klass, 0});
    }
}

const Controls::Control *Controls::find(uint32_t id) const {
    if (id >= V4L2_CID_PRIVATE_BASE) {
        // The old way to reach a driver's own user controls: PRIVATE_BASE + n is the nth.
        uint32_t n = id - V4L2_CID_PRIVATE_BASE;
        for (const auto &c : controls_) {
            if (V4L2_CTRL_ID2WHICH(c.first) == V4L2_CTRL_CLASS_USER && V4L2_CTRL_DRIVER_PRIV(c.first) && n-- == 0)
                return &c.second;
        }
        return nullptr;
    }
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : &it->second;
}

int Controls::query(v4l2_query_ext_ctrl *q) const {
    const uint32_t id = q->id & V4L2_CTRL_ID_MASK;
    // NEXT_CTRL walks the plain controls, NEXT_COMPOUND the compound ones (none here).
    if ((q->id & V4L2_CTRL_FLAG_NEXT_COMPOUND) && !(q->id & V4L2_CTRL_FLAG_NEXT_CTRL)) return -EINVAL;
    const bool next = q->id & V4L2_CTRL_FLAG_NEXT_CTRL;
    const Control *found = nullptr;
    if (next) {
        auto it = controls_.upper_bound(id);
        if (it != controls_.end()) found = &it->second;
    } else {
        found = find(id);
    }
    if (!found) return -EINVAL;
    const ControlConfig &c = found->config;
    std::memset(q, 0, sizeof *q);
    q->id = next ? c.id : id;  // an old-style private id is answered as asked
    q->type = c.type;
    copy_name(q->name, sizeof q->name, c.name);
    q->minimum = c.minimum;
    q->maximum = c.maximum;
    q->step = uint64_t(c.step);
    q->default_value = c.default_value;
    q->flags = c.flags;
    q->elem_size = sizeof(int32_t);
    q->elems = 1;
    return 0;
}

int Controls::querymenu(v4l2_querymenu *m) const {
    const Control *found = find(m->id);
    if (!found || !is_menu(found->config.type)) return -EINVAL;
    const ControlConfig &c = found->config;
    if (int64_t(m->index) < c.minimum || int64_t(m->index) > c.maximum || !c.menu[m->index].offered)
        return -EINVAL;
    const uint32_t id = m->id, index = m->index;
    std::memset(m, 0, sizeof *m);
    m->id = id;
    m->index = index;
    if (c.type == V4L2_CTRL_TYPE_MENU) copy_name(m->name, sizeof m->name, c.menu[index].name);
    else m->value = c.menu[index].value;
    return 0;
}

int Controls::validate(const ControlConfig &c, int32_t *value) {
    switch (c.type) {
    case V4L2_CTRL_TYPE_INTEGER: {
        // ROUND_TO_RANGE: half a step up, clamped, then down to a step from the minimum.
        int64_t v = *value;
        if (c.maximum >= 0 && v >= c.maximum - c.step / 2) v = c.maximum;
        else v += c.step / 2;
        v = std::min(std::max(v, c.minimum), c.maximum);
        *value = int32_t(c.minimum + (v - c.minimum) / c.step * c.step);
        return 0;
    }
    case V4L2_CTRL_TYPE_BOOLEAN:
        *value = *value != 0;
        return 0;
    case V4L2_CTRL_TYPE_MENU:
    case V4L2_CTRL_TYPE_INTEGER_MENU:
        if (*value < c.minimum || *value > c.maximum) return -ERANGE;
        return c.menu[size_t(*value)].offered ? 0 : -EINVAL;
    default:
        return 0;  // a button has no value to check
    }
}

int Controls::get(v4l2_control *c) const {
    const Control *found = find(c->id);
    if (!found) return -EINVAL;
    if (found->config.flags & V4L2_CTRL_FLAG_WRITE_ONLY) return -EACCES;
    c->value = found->value;
    return 0;
}

int Controls::set(int file, v4l2_control *c) {
    const Control *known = find(c->id);
    if (!known) return -EINVAL;
    Control &found = controls_.at(known->config.id);
    if (found.config.flags & V4L2_CTRL_FLAG_READ_ONLY) return -EACCES;
    int32_t value = c->value;
    if (int r = validate(found.config, &value)) return r;
    c->value = value;
    if (found.config.type != V4L2_CTRL_TYPE_BUTTON && found.value != value) {
        found.value = value;
        changed(file, found);
    }
    return 0;
}

int Controls::prepare(v4l2_ext_controls *cs, std::vector<uint32_t> *ids) const {
    const uint32_t which = cs->which;
    const bool by_class = which != V4L2_CTRL_WHICH_CUR_VAL && which != V4L2_CTRL_WHICH_DEF_VAL;
    if (which == V4L2_CTRL_WHICH_REQUEST_VAL) return -EINVAL;  // no media requests here
    if (cs->count == 0) return by_class && !find(which | 1) ? -EINVAL : 0;
    if (cs->count > V4L2_CID_MAX_CTRLS) return -EINVAL;
    // The kernel copies the array in before it looks at any control.
    if (!mapped(reinterpret_cast<unsigned long>(cs->controls), sizeof(v4l2_ext_control) * cs->count))
        return -EFAULT;
    for (uint32_t i = 0; i < cs->count; ++i) {
        const uint32_t id = cs->controls[i].id;
        cs->error_idx = i;
        // Old-style private ids are for G_CTRL and S_CTRL only.
        if (id >= V4L2_CID_PRIVATE_BASE || !find(id) || (by_class && V4L2_CTRL_ID2WHICH(id) != which)) return -EINVAL;
        ids->push_back(id);
    }
    return 0;
}

int Controls::get_ext(v4l2_ext_controls *cs) const {
    std::vector<uint32_t> ids;
    cs->error_idx = cs->count;
    const int r = prepare(cs, &ids);
    // G_EXT_CTRLS points at no control when it fails: nothing was changed.
    cs->error_idx = cs->count;
    if (r) return r;
    for (uint32_t id : ids) {
        if (find(id)->config.flags & V4L2_CTRL_FLAG_WRITE_ONLY) return -EACCES;
    }
    for (uint32_t i = 0; i < cs->count; ++i) {
        const Control &c = *find(ids[i]);
        cs->controls[i].value = cs->which == V4L2_CTRL_WHICH_DEF_VAL ? int32_t(c.config.default_value) : c.value;
    }
    return 0;
}

// Every control is checked (and its value clamped in the caller's array) before any is set,
// so a refused request changes nothing; S_EXT_CTRLS then says so with error_idx = count.
int Controls::set_ext(int file, v4l2_ext_controls *cs, bool set) {
    std::vector<uint32_t> ids;
    cs->error_idx = cs->count;
    int r = cs->which == V4L2_CTRL_WHICH_DEF_VAL ? -EINVAL : prepare(cs, &ids);
    for (uint32_t i = 0; r == 0 && i < ids.size(); ++i) {
        cs->error_idx = i;
        const ControlConfig &c = find(ids[i])->config;
        int32_t value = cs->controls[i].value;  // the struct is packed: no pointer into it
        r = (c.flags & V4L2_CTRL_FLAG_READ_ONLY) ? -EACCES : validate(c, &value);
        cs->controls[i].value = value;
    }
    if (r) {
        if (set && r != -EFAULT) cs->error_idx = cs->count;
        return r;
    }
    cs->error_idx = cs->count;
    if (!set) return 0;
    for (uint32_t i = 0; i < ids.size(); ++i) {
        Control &c = controls_.at(ids[i]);
        if (c.config.type == V4L2_CTRL_TYPE_BUTTON || c.value == cs->controls[i].value) continue;
        c.value = cs->controls[i].value;
        changed(file, c);
    }
    return 0;
}

// Subscribers hear of a change, the file that made it only when it asked for that.
void Controls::changed(int file, const Control &c) {
    for (auto &e : events_) {
        for (const Subscription &s : e.second.subscriptions) {
            if (s.id == c.config.id && (e.first != file || (s.flags & V4L2_EVENT_SUB_FL_ALLOW_FEEDBACK)))
                queue_event(e.first, c, V4L2_EVENT_CTRL_CH_VALUE);
        }
    }
}

void Controls::queue_event(int file, const Control &c, uint32_t changes) {
    Events &e = events_[file];
    v4l2_event ev{};
    ev.type = V4L2_EVENT_CTRL;
    ev.id = c.config.id;
    // One event waits per subscription: a newer one takes its place and its changes.
    for (auto it = e.pending.begin(); it != e.pending.end(); ++it) {
        if (it->id == ev.id) {
            changes |= it->u.ctrl.changes;
            e.pending.erase(it);
            break;
        }
    }
    ev.u.ctrl.changes = changes;
    ev.u.ctrl.type = c.config.type;
    ev.u.ctrl.value = c.value;
    ev.u.ctrl.flags = c.config.flags;
    ev.u.ctrl.minimum = int32_t(c.config.minimum);
    ev.u.ctrl.maximum = int32_t(c.config.maximum);
    ev.u.ctrl.step = int32_t(c.config.step);
    ev.u.ctrl.default_value = int32_t(c.config.default_value);
    ev.sequence = e.sequence++;
    clock_gettime(CLOCK_MONOTONIC, &ev.timestamp);
    e.pending.push_back(ev);
}

int Controls::subscribe(int file, const v4l2_event_subscription *sub) {
    const Control *c = sub->type == V4L2_EVENT_CTRL && sub->id < V4L2_CID_PRIVATE_BASE ? find(sub->id) : nullptr;
    if (!c) return -EINVAL;
    Events &e = events_[file];
    for (const Subscription &s : e.subscriptions) {
        if (s.id == sub->id) return 0;  // subscribed already
    }
    e.subscriptions.push_back(Subscription{sub->id, sub->flags});
    if ((sub->flags & V4L2_EVENT_SUB_FL_SEND_INITIAL) && c->config.type != V4L2_CTRL_TYPE_CTRL_CLASS) {
        uint32_t changes = V4L2_EVENT_CTRL_CH_FLAGS;
        if (!(c->config.flags & V4L2_CTRL_FLAG_WRITE_ONLY)) changes |= V4L2_EVENT_CTRL_CH_VALUE;
        queue_event(file, *c, changes);
    }
    return 0;
}

int Controls::unsubscribe(int file, const v4l2_event_subscription *sub) {
    auto it = events_.find(file);
    if (it == events_.end()) return 0;
    Events &e = it->second;
    const bool all = sub->type == V4L2_EVENT_ALL;
    if (!all && sub->type != V4L2_EVENT_CTRL) return 0;
    auto gone = [&](uint32_t id) { return all || id == sub->id; };
    e.subscriptions.erase(std::remove_if(e.subscriptions.begin(), e.subscriptions.end(),
                                         [&](const Subscription &s) { return gone(s.id); }),
                          e.subscriptions.end());
    e.pending.erase(std::remove_if(e.pending.begin(), e.pending.end(), [&](const v4l2_event &ev) { return gone(ev.id); }),
                    e.pending.end());
    return 0;
}

int Controls::dequeue(int file, v4l2_event *ev) {
    auto it = events_.find(file);
    if (it == events_.end() || it->second.pending.empty()) return -ENOENT;
    *ev = it->second.pending.front();
    it->second.pending.pop_front();
    ev->pending = uint32_t(it->second.pending.size());
    return 0;
}

bool Controls::event_pending(int file) const {
    auto it = events_.find(file);
    return it != events_.end() && !it->second.pending.empty();
}

void Controls::closed(int file) { events_.erase(file); }

}  // namespace vcam
