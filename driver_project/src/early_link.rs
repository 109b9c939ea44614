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
//! crate information inside, `link(sess, results, metadata, outputs)`). Later
//! releases changed these signatures; they get their own code under
//! `kelv_rustc = "<release>"` when the driver learns them.

use std::any::Any;
use std::fs::{self, File, OpenOptions};
use std::io::{self, Write};
use std::os::fd::{AsRawFd, FromRawFd};
use std::os::raw::c_int;
use std::path::{Path, PathBuf};
use std::sync::atomic::{AtomicBool, Ordering};
use std::sync::{Mutex, PoisonError};

use rustc_codegen_ssa::traits::CodegenBackend;
use rustc_codegen_ssa::{CodegenResults, CompiledModule, CrateInfo, TargetConfig};
use rustc_metadata::creader::MetadataLoaderDyn;
use rustc_metadata::EncodedMetadata;
use rustc_middle::ty::TyCtxt;
use rustc_middle::util::Providers;
use rustc_session::config::{
    CrateType, OutFileName, OutputFilenames, OutputType, PrintRequest, RLINK_EXT,
};
use rustc_session::Session;
use rustc_span::Symbol;

type WorkProducts = rustc_data_structures::fx::FxIndexMap<
    rustc_middle::dep_graph::WorkProductId,
    rustc_middle::dep_graph::WorkProduct,
>;
/// The join result rustc asks for after an early link: the joined results
/// carry the crate information, so the empty ones handed back need one too.
type Parked = (CrateInfo, WorkProducts);

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

    fn codegen_crate<'tcx>(&self, tcx: TyCtxt<'tcx>) -> Box<dyn Any> {
        let ongoing = self.inner.codegen_crate(tcx);
        let Some(metadata) = early_metadata(tcx) else {
            return ongoing;
        };
        let sess = tcx.sess;
        let outputs = tcx.output_filenames(());
        // The results of the early join go to the linker; rustc's own join
        // later gets empty results with this crate information, which nothing
        // links with (so the CPU name need not be resolved).
        let target_cpu = sess
            .opts
            .cg
            .target_cpu
            .clone()
            .unwrap_or_else(|| sess.target.cpu.to_string());
        let placeholder = CrateInfo::new(tcx, target_cpu);

        let (results, work_products) = self.inner.join_codegen(ongoing, sess, outputs);
        sess.dcx().abort_if_errors();
        if let Some(dir) = &self.keep_dir {
            let modules = results.modules.iter().chain(&results.allocator_module);
            keep_objects(dir, modules, || {
                let rlink = outputs.with_extension(RLINK_EXT);
                crate::replace_file(&rlink, |temp| {
                    CodegenResults::serialize_rlink(sess, temp, &results, &metadata, outputs)
                        .map(drop)
                })
            });
        }
        self.inner.link(sess, results, metadata, outputs);
        sess.dcx().abort_if_errors();
        self.linked(sess, (placeholder, work_products))
    }

    fn join_codegen(
        &self,
        ongoing: Box<dyn Any>,
        sess: &Session,
        outputs: &OutputFilenames,
    ) -> (CodegenResults, WorkProducts) {
        match ongoing.downcast::<Linked>() {
            Ok(_) => {
                let (crate_info, work_products) = self.take_parked();
                (
                    CodegenResults {
                        modules: Vec::new(),
                        allocator_module: None,
                        crate_info,
                    },
                    work_products,
                )
            }
            Err(ongoing) => self.inner.join_codegen(ongoing, sess, outputs),
        }
    }

    fn link(
        &self,
        sess: &Session,
        results: CodegenResults,
        metadata: EncodedMetadata,
        outputs: &OutputFilenames,
    ) {
        // Linked already, before the incremental state was saved.
        if !self.linked_early.load(Ordering::SeqCst) {
            self.inner.link(sess, results, metadata, outputs)
        }
    }
}

/// The metadata to link with, as rustc's own code generation would pass it,
/// when the outputs may be linked early; `None` leaves the compilation to rustc.
fn early_metadata(tcx: TyCtxt<'_>) -> Option<EncodedMetadata> {
    let opts = &tcx.sess.opts;
    if !opts.output_types.contains_key(&OutputType::Exe)
        || opts.unstable_opts.no_link
        || opts.unstable_opts.link_only
    {
        return None;
    }
    // rustc reports unused features after code generation.
    let features = tcx.features();
    if !features.enabled_lang_features().is_empty() || !features.enabled_lib_features().is_empty() {
        return None;
    }
    let outputs = tcx.output_filenames(());
    // check: `EncodedMetadata::from_path(path, stub_path, temp_dir) ->
    // io::Result<Self>` (inlined: the library's symbols cannot show it).
    if !tcx.needs_metadata() {
        // rustc reads an empty file for a crate without metadata.
        let path = outputs.with_extension(&format!("kelv-no-metadata-{}", std::process::id()));
        File::create(&path).ok()?;
        let metadata = EncodedMetadata::from_path(path.clone(), None, None);
        let _ = fs::remove_file(&path);
        return metadata.ok();
    }
    if !opts.output_types.contains_key(&OutputType::Metadata)
        || !opts.unstable_opts.embed_metadata
        || tcx.crate_types().contains(&CrateType::ProcMacro)
    {
        return None;
    }
    match outputs.path(OutputType::Metadata) {
        OutFileName::Real(path) => EncodedMetadata::from_path(path, None, None).ok(),
        OutFileName::Stdout => None,
    }
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
