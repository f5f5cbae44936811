// SPDX-License-Identifier: GPL-3.0-or-later
#include "ft.h"

#include <cmath>
#include <cstdlib>
#include <fftw3.h>

static fftw_complex *vectorA; // transform input: the block as real parts
static fftw_complex *vectorF; // transform output
static fftw_plan plan;
static double *spectrum;
static double *phase;
static double ft_max;

void ft_init() {
    vectorA = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * ft_size));
    vectorF = static_cast<fftw_complex *>(fftw_malloc(sizeof(fftw_complex) * ft_size));
    // the estimate-only planner leaves both arrays alone and takes no timing runs
    plan = fftw_plan_dft_1d(ft_size, vectorA, vectorF, FFTW_FORWARD, FFTW_ESTIMATE);
    spectrum = static_cast<double *>(std::calloc(ft_bins, sizeof(double)));
    phase = static_cast<double *>(std::calloc(ft_bins, sizeof(double)));
    ft_max = 0;
}

void ft_close() {
    fftw_destroy_plan(plan);
    fftw_free(vectorA);
    fftw_free(vectorF);
    std::free(spectrum);
    std::free(phase);
    fftw_cleanup(); // the planner's own tables, kept by the library until told
    plan = nullptr;
    vectorA = vectorF = nullptr;
    spectrum = phase = nullptr;
}

void ft_process(const double *block) {
    for (int n = 0; n < ft_size; ++n) {
        vectorA[n][0] = block[n];
        vectorA[n][1] = 0;
    }
    fftw_execute(plan);
    ft_max = 0;
    for (int k = 0; k < ft_bins; ++k) {
        double re = vectorF[k][0], im = vectorF[k][1];
        spectrum[k] = std::hypot(re, im);
        if (spectrum[k] > ft_max)
            ft_max = spectrum[k];
        phase[k] = std::atan2(im, re);
    }
}

const double *ft_get_spectrum() { return spectrum; }
const double *ft_get_phase() { return phase; }
double ft_get_max() { return ft_max; }
