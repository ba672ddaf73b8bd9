/* qemu TCG plug-in that counts the guest instructions a program executes and the bytes its loads and
 * stores move, and prints the totals at exit as "insns: N", "read: R" and "written: W": the board's cost
 * meter, exact and repeatable where a timing under emulation means nothing. A vector load counts its
 * bytes however qemu splits it into accesses. Built for the build machine (it is loaded by qemu-arm,
 * not by the guest):
 *   cc -shared -fPIC -O2 -o libinsn_count.so insn_count_plugin.c
 *   qemu-arm -plugin ./libinsn_count.so -d plugin -D count.log PROGRAM ...
 *   qemu-arm -plugin ./libinsn_count.so,blocks=FILE ...   also writes every executed block to FILE
 *
 * With blocks=FILE, each straight-line block the guest executed is written at exit as a line
 *   block ADDRESS END EXECUTIONS INSTRUCTIONS arm|thumb
 * (END: the address after its last instruction) followed by its instructions, one a line, as qemu
 * disassembles them; blocks translated more than once at the same address are written once each time
 * (the reader adds them up). bench/meter/cycle_estimate turns them into cycles on a processor model.
 *
 * Debian's qemu-user ships no qemu-plugin.h: what this plug-in uses of the plug-in API, version 1
 * (qemu 4.2 to 8.x), is declared here. qemu resolves these functions in its own executable when it
 * loads the plug-in. */
#include <inttypes.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define PLUGIN_EXPORT __attribute__((visibility("default")))

typedef uint64_t qemu_plugin_id_t;
struct qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef uint32_t qemu_plugin_meminfo_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_CB_R_REGS, QEMU_PLUGIN_CB_RW_REGS };
enum qemu_plugin_mem_rw { QEMU_PLUGIN_MEM_R = 1, QEMU_PLUGIN_MEM_W, QEMU_PLUGIN_MEM_RW };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb* tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void* userdata);
typedef void (*qemu_plugin_vcpu_mem_cb_t)(unsigned int vcpu_index, qemu_plugin_meminfo_t info, uint64_t vaddr,
                                          void* userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb* tb, enum qemu_plugin_op op, void* ptr,
                                              uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb* tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb* tb);
uint64_t qemu_plugin_insn_vaddr(const struct qemu_plugin_insn* insn);
struct qemu_plugin_insn* qemu_plugin_tb_get_insn(const struct qemu_plugin_tb* tb, size_t idx);
const void* qemu_plugin_insn_data(const struct qemu_plugin_insn* insn);
size_t qemu_plugin_insn_size(const struct qemu_plugin_insn* insn);
char* qemu_plugin_insn_disas(const struct qemu_plugin_insn* insn);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn* insn, qemu_plugin_vcpu_mem_cb_t cb,
                                      enum qemu_plugin_cb_flags flags, enum qemu_plugin_mem_rw rw, void* userdata);
unsigned int qemu_plugin_mem_size_shift(qemu_plugin_meminfo_t info);
bool qemu_plugin_mem_is_store(qemu_plugin_meminfo_t info);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void* userdata);
void qemu_plugin_outs(const char* string);

PLUGIN_EXPORT int qemu_plugin_version = 1;
PLUGIN_EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc,
                                      char** argv);

/* The counters: the measured programs run a single thread, so the non-atomic adds are exact. */
static uint64_t executed_insns;
static uint64_t bytes_read;
static uint64_t bytes_written;

/* One translation of a block, with its own execution counter, kept for the blocks file. */
struct block {
    struct block* next;
    uint64_t address;
    uint64_t end;
    uint64_t executions;
    size_t insns;
    bool thumb;
    char* text; /* the instructions, one a line */
};
static struct block* blocks;
static const char* blocks_path;

/* Every memory access adds its size to the bytes read or written. */
static void on_memory(unsigned int vcpu_index, qemu_plugin_meminfo_t info, uint64_t vaddr, void* userdata) {
    (void)vcpu_index;
    (void)vaddr;
    (void)userdata;
    const uint64_t size = UINT64_C(1) << qemu_plugin_mem_size_shift(info);
    if (qemu_plugin_mem_is_store(info)) {
        bytes_written += size;
    } else {
        bytes_read += size;
    }
}

/* A 2-byte instruction is always a Thumb one; a 4-byte one looks so when its first halfword starts with
 * 0b11101, 0b11110 or 0b11111. A block is taken for Thumb code when it holds a 2-byte instruction or
 * when every instruction looks so (an ARM block whose low halfwords all do is unlikely beyond a couple
 * of instructions). */
static bool two_bytes(const struct qemu_plugin_insn* insn) {
    return qemu_plugin_insn_size(insn) == 2;
}

static bool looks_thumb(const struct qemu_plugin_insn* insn) {
    const unsigned char* bytes = qemu_plugin_insn_data(insn);
    return two_bytes(insn) || (bytes[1] >> 3) >= 0x1D;
}

/* Records a translated block for the blocks file: its address, disassembly and execution counter. */
static struct block* record_block(struct qemu_plugin_tb* tb, size_t insns) {
    struct block* b = calloc(1, sizeof *b);
    if (b == NULL) {
        return NULL;
    }
    b->address = qemu_plugin_tb_vaddr(tb);
    b->insns = insns;
    bool any_two_bytes = false;
    bool all_look_thumb = true;
    size_t length = 0;
    for (size_t i = 0; i < insns; ++i) {
        const struct qemu_plugin_insn* insn = qemu_plugin_tb_get_insn(tb, i);
        any_two_bytes = any_two_bytes || two_bytes(insn);
        b->end = qemu_plugin_insn_vaddr(insn) + qemu_plugin_insn_size(insn);
        all_look_thumb = all_look_thumb && looks_thumb(insn);
        char* line = qemu_plugin_insn_disas(insn);
        const size_t line_length = line != NULL ? strlen(line) : 0;
        char* text = realloc(b->text, length + line_length + 2);
        if (text != NULL) {
            memcpy(text + length, line != NULL ? line : "", line_length);
            length += line_length;
            text[length++] = '\n';
            text[length] = '\0';
            b->text = text;
        }
        free(line);
    }
    b->thumb = any_two_bytes || all_look_thumb;
    b->next = blocks;
    blocks = b;
    return b;
}

/* Every translated block adds its instruction count to the counter each time it runs, and each of its
 * instructions reports its memory accesses. */
static void on_translation(qemu_plugin_id_t id, struct qemu_plugin_tb* tb) {
    (void)id;
    const size_t insns = qemu_plugin_tb_n_insns(tb);
    qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &executed_insns, insns);
    for (size_t i = 0; i < insns; ++i) {
        qemu_plugin_register_vcpu_mem_cb(qemu_plugin_tb_get_insn(tb, i), on_memory, QEMU_PLUGIN_CB_NO_REGS,
                                         QEMU_PLUGIN_MEM_RW, NULL);
    }
    if (blocks_path != NULL) {
        struct block* b = record_block(tb, insns);
        if (b != NULL) {
            qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &b->executions, 1);
        }
    }
}

static void write_blocks(void) {
    FILE* out = fopen(blocks_path, "w");
    if (out == NULL) {
        qemu_plugin_outs("insn_count: cannot write the blocks file\n");
        return;
    }
    for (const struct block* b = blocks; b != NULL; b = b->next) {
        if (b->executions > 0) {
            fprintf(out, "block %" PRIx64 " %" PRIx64 " %" PRIu64 " %zu %s\n%s", b->address, b->end, b->executions,
                    b->insns,
                    b->thumb ? "thumb" : "arm", b->text != NULL ? b->text : "");
        }
    }
    fclose(out);
}

static void report_at_exit(qemu_plugin_id_t id, void* userdata) {
    (void)id;
    (void)userdata;
    char line[128];
    snprintf(line, sizeof line, "insns: %" PRIu64 "\nread: %" PRIu64 "\nwritten: %" PRIu64 "\n", executed_insns,
             bytes_read, bytes_written);
    qemu_plugin_outs(line);
    if (blocks_path != NULL) {
        write_blocks();
    }
}

/* Registers the callbacks; the one argument it takes is blocks=FILE. Returns 0 (loaded), or -1 for an
 * argument it does not know. */
int qemu_plugin_install(qemu_plugin_id_t id, const struct qemu_info_t* info, int argc, char** argv) {
    (void)info;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "blocks=", 7) == 0) {
            blocks_path = argv[i] + 7;
        } else {
            return -1;
        }
    }
    qemu_plugin_register_vcpu_tb_trans_cb(id, on_translation);
    qemu_plugin_register_atexit_cb(id, report_at_exit, NULL);
    return 0;
}
