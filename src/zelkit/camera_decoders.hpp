#pragma once

#include <Python.h>

namespace zelkit::native {

// Adds the decoder types: PropheseeDecoder (EVT 2.0, EVT 3.0, DAT streams)
// and Aedat4Decoder (AEDAT 4 event packets).
bool add_camera_decoder_types(PyObject* module);

}  // namespace zelkit::native
