// The GL side of a frame: draws what paint_frame describes with OpenGL 1.x fixed function. The
// fade quad goes in immediate mode; the waves go from client-side vertex arrays in static
// storage, as many waves to a glMultiDrawArrays call as the storage holds. Nothing is allocated.
// Main thread only, with the window's GL context current.
#pragma once

// Makes the waves' storage resident: called once at start-up, so that the memory a long run holds
// does not creep up as heavier frames first reach further into it.
void paint_init();

struct gl_painter {
    void fade();
    void wave(float r, float g, float b, float a, const float *x, const float *y, int count);
    // Draws the waves still pending; call once paint_frame has returned.
    void finish();

  private:
    int used = 0;  // vertices in the storage
    int waves = 0; // waves in the storage
};
