#include "readingorder.h"

#include <algorithm>

namespace kr7::panel {

bool takesFocus(const Control &c) {
    return c.kind == Kind::Button || c.kind == Kind::Option || c.kind == Kind::TextBox ||
           c.kind == Kind::Image;
}

namespace {

void visit(std::string_view container, std::vector<const Control *> &out) {
    std::vector<const Control *> children;
    for (const Control &c : kControls)
        if (c.container == container && (takesFocus(c) || c.kind == Kind::Frame))
            children.push_back(&c);
    std::stable_sort(children.begin(), children.end(),
                     [](const Control *a, const Control *b) { return a->top < b->top; });
    // Rows: each starts at the highest control not yet placed and takes those within the tolerance of it.
    for (size_t start = 0; start < children.size();) {
        size_t end = start + 1;
        while (end < children.size() && children[end]->top - children[start]->top <= kRowTolerance)
            ++end;
        std::stable_sort(children.begin() + std::ptrdiff_t(start), children.begin() + std::ptrdiff_t(end),
                         [](const Control *a, const Control *b) { return a->left < b->left; });
        for (size_t i = start; i < end; ++i) {
            if (children[i]->kind == Kind::Frame)
                visit(children[i]->name, out);
            else
                out.push_back(children[i]);
        }
        start = end;
    }
}

} // namespace

std::vector<const Control *> readingOrder() {
    std::vector<const Control *> out;
    visit({}, out);
    return out;
}

} // namespace kr7::panel
