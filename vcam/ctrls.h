// The controls of one node, answered as the kernel's control framework (v4l2-ctrls) answers
// for a driver that registered them: enumeration in id order with a class control ahead of
// each class, ranges, menus, the framework's clamping and rounding, and the current values.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace vcam {

struct MenuItem {
    bool offered = true;  // false: an index the menu leaves out (the framework's menu_skip_mask)
    std::string name;     // of a MENU item
    int64_t value = 0;    // of an INTEGER_MENU item
};

struct ControlConfig {
    uint32_t id = 0;
    std::string name;
    uint32_t type = V4L2_CTRL_TYPE_INTEGER;
    int64_t minimum = 0, maximum = 0, step = 1, default_value = 0;
    uint32_t flags = 0;
    std::vector<MenuItem> menu;  // index minimum..maximum of a menu, from 0
};

// The control types a description names ("integer", "boolean", "menu", "integer_menu",
// "button"): the V4L2 type, or 0 for another name; and the name of a type.
uint32_t control_type_named(const std::string &name);
const char *control_type_name(uint32_t type);
// The id of a control the kernel names so ("Brightness", "Gain", ...), or 0.
uint32_t standard_control_id(const std::string &name);
// Settles what the framework fixes for a type (boolean 0..1 step 1, button and its flags all
// 0 but WRITE_ONLY | EXECUTE_ON_WRITE, menus step 1) and checks the rest as v4l2_ctrl_new
// does; answers what is wrong, or an empty text.
std::string complete_control(ControlConfig *c);

class Controls {
public:
    // Replaces every control; the values start at their defaults.
    void configure(const std::vector<ControlConfig> &controls);
    const std::vector<ControlConfig> &configured() const { return configured_; }

    // VIDIOC_QUERY_EXT_CTRL (q->id may carry V4L2_CTRL_FLAG_NEXT_CTRL / NEXT_COMPOUND).
    int query(v4l2_query_ext_ctrl *q) const;
    int querymenu(v4l2_querymenu *m) const;
    int get(v4l2_control *c) const;  // G_CTRL
    // S_CTRL by open file `file`: the value as set written back.
    int set(int file, v4l2_control *c);
    // G_EXT_CTRLS, TRY_EXT_CTRLS (set false) and S_EXT_CTRLS (set true); the array of
    // controls is the caller's memory, checked to be mapped.
    int get_ext(v4l2_ext_controls *cs) const;
    int set_ext(int file, v4l2_ext_controls *cs, bool set);

    // Control events (V4L2_EVENT_CTRL) of each open file, as v4l2-event.c keeps them: one
    // pending event per subscription, a newer one merged into it.
    int subscribe(int file, const v4l2_event_subscription *sub);
    int unsubscribe(int file, const v4l2_event_subscription *sub);
    int dequeue(int file, v4l2_event *ev);  // -ENOENT while none is pending
    bool event_pending(int file) const;
    void closed(int file);

private:
    struct Control {
        ControlConfig config;
        int32_t value = 0;
    };

    const Control *find(uint32_t id) const;
    // The framework's validate: clamps and rounds an integer, 0/1 for a boolean, ERANGE for a
    // menu index outside the range, EINVAL for one the menu leaves out.
    static int validate(const ControlConfig &c, int32_t *value);
    // Finds each control of an extended request (error_idx at the first unknown one).
    int prepare(v4l2_ext_controls *cs, std::vector<uint32_t> *ids) const;

    void changed(int file, const Control &c);  // a value was set by `file`
    void queue_event(int file, const Control &c, uint32_t changes);

    struct Subscription {
        uint32_t id;
        uint32_t flags;  // V4L2_EVENT_SUB_FL_*
    };
    struct Events {
        std::vector<Subscription> subscriptions;
        std::deque<v4l2_event> pending;
        uint32_t sequence = 0;
    };

    std::vector<ControlConfig> configured_;
    std::map<int, Events> events_;  // by open file
    std::map<uint32_t, Control> controls_;  // by id, class controls included
};

}  // namespace vcam
