#pragma once

class QWidget;

// Names every input under root after the label that is its buddy, so that a
// screen reader reads the label's words for it (without the mnemonic's "&"
// and a closing colon). A label with a mnemonic wins over an instruction that
// also points at the input; a name already given stays. The text box of an
// editable combo box takes the combo box's name.
void NameInputsAfterLabels(QWidget* root);
