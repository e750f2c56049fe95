#pragma once

// A stand-in for a device's variant of tinyalsa, for the tests: stock tinyalsa's interface as the
// loopback uses it, plus the variant's own pcm_open_req and a tenth word in struct pcm_config
// after avail_min. The field's name here is ours; a real variant's is given to the build.

#ifdef __cplusplus
extern "C" {
#endif

struct pcm;

#define PCM_OUT 0x00000000
#define PCM_IN 0x10000000

enum pcm_format {
    PCM_FORMAT_S16_LE = 0,
    PCM_FORMAT_S32_LE,
};

struct pcm_config {
    unsigned int channels;
    unsigned int rate;
    unsigned int period_size;
    unsigned int period_count;
    enum pcm_format format;
    unsigned int start_threshold;
    unsigned int stop_threshold;
    unsigned int silence_threshold;
    int avail_min;
    unsigned int tenth_word;
};

struct pcm* pcm_open(unsigned int card, unsigned int device, unsigned int flags,
                     struct pcm_config* config);
struct pcm* pcm_open_req(unsigned int card, unsigned int device, unsigned int flags,
                         struct pcm_config* config, unsigned int rate);
int pcm_close(struct pcm* pcm);
int pcm_is_ready(struct pcm* pcm);
const char* pcm_get_error(struct pcm* pcm);
unsigned int pcm_get_buffer_size(struct pcm* pcm);
int pcm_read(struct pcm* pcm, void* data, unsigned int count);
int pcm_write(struct pcm* pcm, const void* data, unsigned int count);

#ifdef __cplusplus
}
#endif
