//! The early-link code generation backend.
//!
//! rustc saves its incremental state when the type context ends and links the
//! outputs only after that. `EarlyLink` wraps the backend rustc would have used
//! and, where nothing the build needs can follow the outputs, joins code
//! generation and links inside `codegen_crate`, while the type context still
//! lives. It then writes one byte to the wrapper's ready pipe and sends its
//! standard output and standard error to the null device; rustc goes on to save
//! its incremental state and finish exactly as it would have, while the build
//! proceeds. With a keep directory it also keeps the object files and writes
//! rustc's `.rlink` description of them, for a later relink.
//!
//! Written for rustc 1.95's `CodegenBackend` (15 methods; `codegen_crate(tcx)`,
//! `join_codegen(ongoing, sess, outputs)` giving `CodegenResults` with the
//! crate information inside, `link(sess, results, metadata, outputs)`) and for
//! 1.96's (18 methods; `target_cpu(sess)`, `codegen_crate(tcx, &CrateInfo)`,
//! `join_codegen(ongoing, sess, outputs)` giving `CompiledModules` without the
//! crate information, `print_pass_timings()`, `print_statistics()`,
//! `link(sess, modules, crate_info, metadata, outputs)`). What differs is
//! selected with `kelv_rustc = "<release>"`; later releases get their own code
//! when the driver learns them.

use std::any::Any;
use std::fs::{self, File, OpenOptions};
use std::io::{self, Write};
use std::os::fd::{AsRawFd, FromRawFd};
use std::os::raw::c_int;
use std::path::{Path, PathBuf};
use std::sync::atomic::{AtomicBool, Ordering};
use std::sync::{Mutex, PoisonError};

use rustc_codegen_ssa::traits::CodegenBackend;
#[cfg(kelv_rustc = "1.95")]
use rustc_codegen_ssa::CodegenResults;
#[cfg(kelv_rustc = "1.96")]
use rustc_codegen_ssa::CompiledModules;
use rustc_codegen_ssa::{CompiledModule, CrateInfo, TargetConfig};
use rustc_metadata::creader::MetadataLoaderDyn;
use rustc_metadata::EncodedMetadata;
use rustc_middle::ty::TyCtxt;
use rustc_middle::util::Providers;
use rustc_session::config::{CrateType, OutputFilenames, OutputType, PrintRequest, RLINK_EXT};
use rustc_session::Session;
use rustc_span::Symbol;

type WorkProducts = rustc_data_structures::fx::FxIndexMap<
    rustc_middle::dep_graph::WorkProductId,
    rustc_middle::dep_graph::WorkProduct,
>;
/// What `join_codegen` gives besides the work products.
#[cfg(kelv_rustc = "1.95")]
type Joined = CodegenResults;
/// 1.96: `join_codegen` gives `CompiledModules { modules, allocator_module }`;
/// the crate information stays with rustc, which passes it to `codegen_crate`
/// and to `link`.
#[cfg(kelv_rustc = "1.96")]
type Joined = CompiledModules;
/// The join result rustc asks for after an early link: the joined results
/// carry the crate information, so the empty ones handed back need one too.
#[cfg(kelv_rustc = "1.95")]
type Parked = (CrateInfo, WorkProducts);
/// 1.96: only the work products; the empty modules handed back carry no
/// crate information.
#[cfg(kelv_rustc = "1.96")]
type Parked = WorkProducts;

extern "C" {
    fn fcntl(fd: c_int, cmd: c_int, ...) -> c_int;
    fn dup2(src: c_int, dst: c_int) -> c_int;
}

/// Marks a descriptor close-on-exec (F_SETFD is 2 and FD_CLOEXEC is 1 on every Unix).
pub fn set_close_on_exec(fd: i32) {
    unsafe {
        fcntl(fd, 2, 1 as c_int);
    }
}

pub struct EarlyLink {
    inner: Box<dyn CodegenBackend>,
    ready_fd: i32,
    keep_dir: Option<PathBuf>,
    linked_work_products: Mutex<Option<Parked>>,
    linked_early: AtomicBool,
}

/// Handed back by `codegen_crate` when the outputs are linked already.
struct Linked;

impl EarlyLink {
    pub fn new(inner: Box<dyn CodegenBackend>, ready_fd: i32, keep_dir: Option<PathBuf>) -> Self {
        EarlyLink {
            inner,
            ready_fd,
            keep_dir,
            linked_work_products: Mutex::new(None),
            linked_early: AtomicBool::new(false),
        }
    }

    /// After the early link: park what the later join hands back, finish the
    /// diagnostics while the build still listens, and signal ready.
    fn linked(&self, sess: &Session, parked: Parked) -> Box<dyn Any> {
        *self
            .linked_work_products
            .lock()
            .unwrap_or_else(PoisonError::into_inner) = Some(parked);
        self.linked_early.store(true, Ordering::SeqCst);
        let dcx = sess.dcx();
        let _ = dcx.emit_stashed_diagnostics();
        if dcx.has_errors().is_some() {
            // rustc's own finish reports these, and the compilation fails as usual.
            return Box::new(Linked);
        }
        // rustc's later finish repeats the count, by then into the null device.
        dcx.print_error_count();
        if sess.opts.json_future_incompat {
            dcx.emit_future_breakage_report();
        }
        signal_ready(self.ready_fd);
        Box::new(Linked)
    }

    fn take_parked(&self) -> Parked {
        let parked = self
            .linked_work_products
            .lock()
            .unwrap_or_else(PoisonError::into_inner)
            .take();
        parked.expect("the early link parked its work products")
    }
}

impl CodegenBackend for EarlyLink {
    fn name(&self) -> &'static str {
        self.inner.name()
    }

    fn init(&self, sess: &Session) {
        self.inner.init(sess)
    }

    fn print(&self, req: &PrintRequest, out: &mut String, sess: &Session) {
        self.inner.print(req, out, sess)
    }

    fn target_config(&self, sess: &Session) -> TargetConfig {
        self.inner.target_config(sess)
    }

    fn supported_crate_types(&self, sess: &Session) -> Vec<CrateType> {
        self.inner.supported_crate_types(sess)
    }

    fn print_passes(&self) {
        self.inner.print_passes()
    }

    fn print_version(&self) {
        self.inner.print_version()
    }

    fn replaced_intrinsics(&self) -> Vec<Symbol> {
        self.inner.replaced_intrinsics()
    }

    fn thin_lto_supported(&self) -> bool {
        self.inner.thin_lto_supported()
    }

    fn has_zstd(&self) -> bool {
        self.inner.has_zstd()
    }

    fn metadata_loader(&self) -> Box<MetadataLoaderDyn> {
        self.inner.metadata_loader()
    }

    fn provide(&self, providers: &mut Providers) {
        self.inner.provide(providers)
    }

    // 1.96: `target_cpu(&self, sess) -> String`, required; rustc builds the
    // crate information with it before code generation starts.
    #[cfg(kelv_rustc = "1.96")]
    fn target_cpu(&self, sess: &Session) -> String {
        self.inner.target_cpu(sess)
    }

    // 1.96: `codegen_crate(&self, tcx, crate_info: &CrateInfo)`; rustc keeps
    // the crate information for its own `link`.
    fn codegen_crate<'tcx>(
        &self,
        tcx: TyCtxt<'tcx>,
        #[cfg(kelv_rustc = "1.96")] crate_info: &CrateInfo,
    ) -> Box<dyn Any> {
        #[cfg(kelv_rustc = "1.95")]
        let ongoing = self.inner.codegen_crate(tcx);
        #[cfg(kelv_rustc = "1.96")]
        let ongoing = self.inner.codegen_crate(tcx, crate_info);
        let Some(metadata) = early_metadata(tcx) else {
            return ongoing;
        };
        let sess = tcx.sess;
        let outputs = tcx.output_filenames(());
        // The results of the early join go to the linker; rustc's own join
        // later gets empty results with this crate information, which nothing
        // links with (so the CPU name need not be resolved).
        #[cfg(kelv_rustc = "1.95")]
        let target_cpu = sess
            .opts
            .cg
            .target_cpu
            .clone()
            .unwrap_or_else(|| sess.target.cpu.to_string());
        #[cfg(kelv_rustc = "1.95")]
        let placeholder = CrateInfo::new(tcx, target_cpu);

        let (results, work_products) = self.inner.join_codegen(ongoing, sess, outputs);
        #[cfg(kelv_rustc = "1.96")]
        print_join_reports(&*self.inner, sess);
        sess.dcx().abort_if_errors();
        if let Some(dir) = &self.keep_dir {
            let modules = results.modules.iter().chain(&results.allocator_module);
            keep_objects(dir, modules, || {
                let rlink = outputs.with_extension(RLINK_EXT);
                crate::replace_file(&rlink, |temp| {
                    #[cfg(kelv_rustc = "1.95")]
                    let written =
                        CodegenResults::serialize_rlink(sess, temp, &results, &metadata, outputs);
                    // 1.96: `CompiledModules::serialize_rlink(sess, path, modules,
                    // crate_info, metadata, outputs)`; the crate information
                    // follows the modules in the file.
                    #[cfg(kelv_rustc = "1.96")]
                    let written = CompiledModules::serialize_rlink(
                        sess, temp, &results, crate_info, &metadata, outputs,
                    );
                    written.map(drop)
                })
            });
        }
        #[cfg(kelv_rustc = "1.95")]
        self.inner.link(sess, results, metadata, outputs);
        // 1.96: `link(sess, modules, crate_info, metadata, outputs)`; rustc's
        // own later call passes the crate information it kept.
        #[cfg(kelv_rustc = "1.96")]
        self.inner
            .link(sess, results, crate_info.clone(), metadata, outputs);
        sess.dcx().abort_if_errors();
        #[cfg(kelv_rustc = "1.95")]
        let parked = (placeholder, work_products);
        #[cfg(kelv_rustc = "1.96")]
        let parked = work_products;
        self.linked(sess, parked)
    }

    fn join_codegen(
        &self,
        ongoing: Box<dyn Any>,
        sess: &Session,
        outputs: &OutputFilenames,
    ) -> (Joined, WorkProducts) {
        match ongoing.downcast::<Linked>() {
            Ok(_) => {
                #[cfg(kelv_rustc = "1.95")]
                let (crate_info, work_products) = self.take_parked();
                #[cfg(kelv_rustc = "1.96")]
                let work_products = self.take_parked();
                (
                    Joined {
                        modules: Vec::new(),
                        allocator_module: None,
                        #[cfg(kelv_rustc = "1.95")]
                        crate_info,
                    },
                    work_products,
                )
            }
            Err(ongoing) => self.inner.join_codegen(ongoing, sess, outputs),
        }
    }

    // 1.96: rustc's linker calls these after `join_codegen` (1.95's join
    // printed them itself). After an early link they were printed there.
    #[cfg(kelv_rustc = "1.96")]
    fn print_pass_timings(&self) {
        if !self.linked_early.load(Ordering::SeqCst) {
            self.inner.print_pass_timings()
        }
    }

    #[cfg(kelv_rustc = "1.96")]
    fn print_statistics(&self) {
        if !self.linked_early.load(Ordering::SeqCst) {
            self.inner.print_statistics()
        }
    }

    // 1.96: `link(&self, sess, compiled_modules, crate_info: CrateInfo,
    // metadata, outputs)`.
    fn link(
        &self,
        sess: &Session,
        results: Joined,
        #[cfg(kelv_rustc = "1.96")] crate_info: CrateInfo,
        metadata: EncodedMetadata,
        outputs: &OutputFilenames,
    ) {
        // Linked already, before the incremental state was saved.
        if !self.linked_early.load(Ordering::SeqCst) {
            #[cfg(kelv_rustc = "1.95")]
            self.inner.link(sess, results, metadata, outputs);
            #[cfg(kelv_rustc = "1.96")]
            self.inner
                .link(sess, results, crate_info, metadata, outputs);
        }
    }
}

/// 1.96: what rustc's linker prints right after `join_codegen`, under the
/// same conditions (1.95's join printed it itself): after an early join it is
/// printed here, before the ready byte sends standard output to the null
/// device.
#[cfg(kelv_rustc = "1.96")]
fn print_join_reports(backend: &dyn CodegenBackend, sess: &Session) {
    if sess.codegen_units().as_usize() == 1 && sess.opts.unstable_opts.time_llvm_passes {
        backend.print_pass_timings();
    }
    if sess.print_llvm_stats() {
        backend.print_statistics();
    }
}

/// The metadata to link with when the outputs may be linked early; `None`
/// leaves the compilation to rustc.
///
/// Only a crate without metadata (an executable) is linked early. Everything
/// rustc still does after the ready byte must leave the outputs and the
/// diagnostics as they are, and for a library it does not: rustc copies the
/// `.rmeta` into the incremental session only after code generation (a build
/// that replaces the `.rmeta` first would leave that session recording
/// another state's metadata as its own), and what it prints then (a late
/// internal error, `-Zprint-type-sizes`) would be missing from what the
/// wrapper stores. Options that print after code generation keep every
/// crate on rustc's own road.
fn early_metadata(tcx: TyCtxt<'_>) -> Option<EncodedMetadata> {
    let opts = &tcx.sess.opts;
    if !opts.output_types.contains_key(&OutputType::Exe)
        || opts.unstable_opts.no_link
        || opts.unstable_opts.link_only
        || tcx.needs_metadata()
        || opts.unstable_opts.print_type_sizes
        || opts.unstable_opts.time_passes
    {
        return None;
    }
    // rustc reports unused features after code generation.
    let features = tcx.features();
    if !features.enabled_lang_features().is_empty() || !features.enabled_lib_features().is_empty() {
        return None;
    }
    let outputs = tcx.output_filenames(());
    // rustc reads an empty file for a crate without metadata.
    // check: `EncodedMetadata::from_path(path, stub_path, temp_dir) ->
    // io::Result<Self>` (inlined: the library's symbols cannot show it).
    let path = outputs.with_extension(&format!("kelv-no-metadata-{}", std::process::id()));
    File::create(&path).ok()?;
    let metadata = EncodedMetadata::from_path(path.clone(), None, None);
    let _ = fs::remove_file(&path);
    metadata.ok()
}

/// Keeps hard links to the compilation's object files in `dir` and writes the
/// `.rlink` beside the outputs. Either `dir` ends up holding all of them or it
/// does not exist; nothing is reported.
fn keep_objects<'a>(
    dir: &Path,
    modules: impl Iterator<Item = &'a CompiledModule>,
    write_rlink: impl FnOnce() -> io::Result<()>,
) {
    let _ = fs::remove_dir_all(dir);
    let kept = (|| {
        fs::create_dir_all(dir)?;
        write_rlink()?;
        for module in modules {
            // A backend that compiles global assembly on its own (cranelift)
            // hands it back as a module of its own, so every object is here.
            // check: 1.95's `CompiledModule` has `object` and `dwarf_object`
            // (no field names of it are in the library).
            for path in [&module.object, &module.dwarf_object].into_iter().flatten() {
                if !path.exists() {
                    continue;
                }
                let name = path
                    .file_name()
                    .ok_or_else(|| io::Error::other("an object file without a name"))?;
                fs::hard_link(path, dir.join(name))?;
            }
        }
        io::Result::Ok(())
    })();
    if kept.is_err() {
        let _ = fs::remove_dir_all(dir);
    }
}

/// Standard output and standard error go to the null device, then the ready
/// byte goes to the pipe, which is closed. Failures are ignored.
fn signal_ready(fd: i32) {
    let _ = io::stdout().flush();
    if let Ok(null) = OpenOptions::new().write(true).open("/dev/null") {
        unsafe {
            dup2(null.as_raw_fd(), 1);
            dup2(null.as_raw_fd(), 2);
        }
    }
    let mut pipe = unsafe { File::from_raw_fd(fd) };
    let _ = pipe.write_all(b"1");
}
