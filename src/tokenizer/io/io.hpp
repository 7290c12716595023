// io: the model's files and its text form. Uses core and support; nothing in train or encode.
//
// Public face (this header):
//   model_file.hpp  save_model / load: the model file, one record per line
//   vocab_file.hpp  save_vocab: the human-readable vocabulary listing
//   decode.hpp      decode: token ids to printable text
//   render.hpp      a token's bytes as printable text; the UTF-8 scan under it
// Detail:
//   file_io.hpp     owned descriptors, the buffered writer and the line reader of both files
#pragma once

#include "tokenizer/io/decode.hpp"
#include "tokenizer/io/model_file.hpp"
#include "tokenizer/io/render.hpp"
#include "tokenizer/io/vocab_file.hpp"
