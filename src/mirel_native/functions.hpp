#pragma once
// The method tables of the mirel._native module, one per file, each ended by
// a null entry; init.cpp adds them all to the module.
#include "python/pyref.hpp"

namespace mirel::native {

extern PyMethodDef math_functions[];       // math_functions.cpp: exp, log, tanh, ...
extern PyMethodDef reduction_functions[];  // reduction_functions.cpp: sum, mean, max, min, argmax, sum_to, broadcast_to
extern PyMethodDef loss_functions[];       // losses.cpp: softmax, log_softmax, cross_entropy, mse_loss, linear
extern PyMethodDef shape_functions[];      // shape_functions.cpp: reshape, transpose, permute, concatenate, stack, take
extern PyMethodDef graph_functions[];      // grad_mode.cpp: detach, grad mode, from_dlpack
extern PyMethodDef training_functions[];   // training.cpp: leaves, gradients and steps for Parameters and optim
extern PyMethodDef kernel_functions[];     // kernels.cpp: each matrix-product kernel by name, and the FMA peak
extern PyMethodDef layer_functions[];      // layers.cpp: layer_norm, rms_norm, dropout, attention
extern PyMethodDef random_functions[];     // random_functions.cpp: the draws of mirel.random
extern PyMethodDef thread_functions[];     // threads.cpp: set_num_threads, get_num_threads

}  // namespace mirel::native
