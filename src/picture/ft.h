// SPDX-License-Identifier: GPL-3.0-or-later
// Spectrum analysis: the magnitude, phase and peak of the 1103 non-redundant bins of one
// 2205-sample block (bin k is k * 20 Hz). Main thread only.
#pragma once

constexpr int ft_size = 2205;            // transform length, one capture block
constexpr int ft_bins = ft_size / 2 + 1; // 1103 bins, 0 to 1102

// Allocates the transform's buffers and plans it once; ft_close releases them.
void ft_init();
void ft_close();

// Analyses ft_size samples: fills the spectrum, the phases and the spectrum peak.
void ft_process(const double *block);

// The module's own arrays of ft_bins values, valid until the next ft_process.
const double *ft_get_spectrum();
const double *ft_get_phase();

// The largest magnitude of the last analysed block, over all ft_bins bins.
double ft_get_max();
