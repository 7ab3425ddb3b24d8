// The forms of the diff page and the one sequence that writes a page in any of them: choose the
// rows (native while nobody can tell, else through the instance's own methods), build the frame,
// choose the output path, write the file.  A form says where its module's names are found, how
// the two sides are aligned, how its rows are written, what its head and toolbar add, and which
// page skeleton it fills.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "page.hpp"
#include "rows.hpp"
#include "seqmatch.hpp"

namespace pelorix::diffpage {

// How the two sides' lines are aligned: by the native matcher, when the form's difflib is the
// standard one (the lines' ids then encoded up front), else by that difflib's own SequenceMatcher;
// or by opcodes a form made itself.
class Alignment {
public:
    Alignment(nb::handle difflib, nb::handle lines1, nb::handle lines2);
    // Opcodes made by the form; `exact`: the lines are exact lists of exact str, so the native
    // row model may write them.
    Alignment(std::vector<seqmatch::Opcode> ops, bool exact);

    // The lines are aligned natively and may be written by the native row model.
    bool native() const { return exact_; }
    // Its opcodes (only when native()).
    std::vector<seqmatch::Opcode> native_opcodes() const;
    // The opcodes as the interpreter's objects, from whichever matcher aligns the lines.
    nb::object opcodes() const;

private:
    nb::object difflib_, lines1_, lines2_;
    std::optional<seqmatch::Encoded> encoded_;
    std::optional<std::vector<seqmatch::Opcode>> given_;
    bool exact_ = false;
};

class PageForm {
public:
    virtual ~PageForm() = default;

    // A module-level name of the module whose page this is (difflib, datetime, tempfile, os).
    virtual nb::object global(const Name& name) const = 0;
    // How the two sides are aligned: by default as the module's difflib aligns them.
    virtual Alignment align(nb::handle lines1, nb::handle lines2) const;
    // The rows of the native row model, written in this form.
    virtual void write_native_rows(Page& page, nb::handle self, PyObject* lines1, PyObject* lines2,
                                   const std::vector<seqmatch::Opcode>& ops) const = 0;
    // One panel's rows made through the instance's methods, written in this form.
    virtual void write_instance_rows(Panel& panel, nb::handle self, const std::vector<Row>& rows,
                                     bool is_left) const = 0;
    // What the page's head holds after the instance's style sheet.
    virtual nb::object script(nb::handle self) const = 0;
    // Markup after the toolbar's own groups.
    virtual std::string_view tools() const { return {}; }
    // The page skeleton this form fills.
    virtual const Skeleton& skeleton() const { return Skeleton::page(); }
};

// The page of `self` (a BeautifulHtmlDiff) in `form`, written to output_file (None: a new
// temporary file) through the `open` of call `c`'s module.  Returns the path written.
nb::object write_page(const Call& c, const PageForm& form, nb::handle self, nb::object output_file);

}  // namespace pelorix::diffpage
