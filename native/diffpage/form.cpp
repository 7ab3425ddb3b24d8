// The one sequence that writes a diff page, whatever its form.
#include "form.hpp"

#include <utility>

#include "names.hpp"

namespace pelorix::diffpage {

Alignment::Alignment(nb::handle difflib, nb::handle lines1, nb::handle lines2)
    : difflib_(nb::borrow(difflib)), lines1_(nb::borrow(lines1)), lines2_(nb::borrow(lines2)) {
    if (standard_difflib(difflib)) encoded_ = seqmatch::encode_lines(lines1, lines2);
    exact_ = encoded_.has_value();
}

Alignment::Alignment(std::vector<seqmatch::Opcode> ops, bool exact)
    : given_(std::move(ops)), exact_(exact) {}

std::vector<seqmatch::Opcode> Alignment::native_opcodes() const {
    if (given_) return *given_;
    return seqmatch::opcodes(encoded_->a, encoded_->b, encoded_->alphabet);
}

nb::object Alignment::opcodes() const {
    return encoded_ || given_ ? opcode_list(native_opcodes())
                              : matcher_opcodes(difflib_, lines1_, lines2_);
}

Alignment PageForm::align(nb::handle lines1, nb::handle lines2) const {
    return Alignment(global(n_difflib), lines1, lines2);
}

nb::object write_page(const Call& c, const PageForm& form, nb::handle self,
                      nb::object output_file) {
    nb::object lines1 = getattr(self, n_lines1), lines2 = getattr(self, n_lines2);

    // The rows: native while nobody can tell, else through the instance's own methods (whose
    // gutter symbols are asked for only once the frame's values are known, as the page is made).
    const Alignment alignment = form.align(lines1, lines2);
    // Declared after the line ids, so it is released before them: freed in this order, the
    // allocator keeps the page's large buffers for the next page instead of handing them back to
    // the system (a page of 100,000 lines then costs a quarter of the page faults).
    Page page;
    std::optional<RowModel> model;
    if (alignment.native() && own_page_methods(self))
        form.write_native_rows(page, self, lines1.ptr(), lines2.ptr(), alignment.native_opcodes());
    else
        model = instance_rows(self, alignment.opcodes(), lines1, lines2);

    Frame frame;
    frame.css = call_method(self, n_get_custom_css, {});
    frame.js = form.script(self);
    nb::object now = call_method(form.global(n_datetime), n_now, {});
    frame.timestamp = format(call_method(now, n_strftime, {nb::str("%Y-%m-%d %H:%M:%S")}));
    frame.left = frame_side(self, lines1, n_name1);
    if (model) form.write_instance_rows(page.left, self, model->left, true);
    frame.right = frame_side(self, lines2, n_name2);
    if (model) form.write_instance_rows(page.right, self, model->right, false);
    frame.tools = form.tools();
    page.frame(frame, form.skeleton());

    output_file = output_path(output_file, [&](const Name& name) { return form.global(name); });
    page.write(c, output_file);
    return output_file;
}

}  // namespace pelorix::diffpage
