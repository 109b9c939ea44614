//! kelv-rustc-driver: the toolchain's own compiler, run with Kelvane's callbacks.
//!
//! Without any `KELV_DRIVER_*` variable this program is rustc: same arguments,
//! same outputs, same diagnostics, same exit codes. Two behaviours can be
//! switched on by kelv-rustc-wrapper:
//!
//! * `KELV_DRIVER_INTERFACE_HASH` (present, any value): a library's crate hash
//!   (SVH) is computed from what its dependents can observe rather than from
//!   every function body, and is written next to the metadata together with
//!   the list of crates whose source positions the metadata records
//!   (`lib<stem>.kelv-svh`, `lib<stem>.kelv-span-deps`).
//! * `KELV_DRIVER_READY_FD` (Unix, a descriptor number): an executable's
//!   outputs are linked before the incremental state is saved and announced
//!   with one byte on that descriptor (see `early_link.rs`; a library runs to
//!   its end, since rustc still copies its metadata after code generation);
//!   `KELV_DRIVER_KEEP_OBJECTS` additionally names a directory for the object
//!   files of the compilation.
//!
//! The compiler's internal interfaces change between releases, so the text is
//! written against named releases only: those listed under
//! `package.metadata.kelv` in Cargo.toml. `kelv driver build` refuses any
//! other toolchain and passes the toolchain's release as
//! `--cfg kelv_rustc="<major>.<minor>"`; code that differs between releases is
//! selected with that flag. Comments of the form "1.95: ..." state shapes read
//! from that release's shipped compiler library (its symbols, and the field
//! names its `Debug` impls carry); details the library cannot show (argument
//! and return types, trait bounds) carry a `check:` comment naming what to
//! verify once a toolchain with `rustc-dev` is at hand. Comments of the form
//! "1.96: ..." state shapes read from that release's compiler sources; where
//! none is given, 1.96 has the shape named for 1.95. The unit tests check the
//! queries, trait methods and functions used here against the library's
//! symbol table.

#![feature(rustc_private)]

#[cfg(not(any(kelv_rustc = "1.95", kelv_rustc = "1.96")))]
compile_error!(
    "kelv-rustc-driver is written for the internal interfaces of rustc 1.95 and 1.96 only; \
     build it with `kelv driver build`, which passes --cfg kelv_rustc=\"<release>\""
);

extern crate rustc_abi;
extern crate rustc_ast;
extern crate rustc_codegen_ssa;
extern crate rustc_data_structures;
extern crate rustc_driver;
extern crate rustc_hir;
#[cfg(kelv_rustc = "1.96")]
extern crate rustc_index;
extern crate rustc_interface;
extern crate rustc_metadata;
extern crate rustc_middle;
extern crate rustc_session;
extern crate rustc_span;

#[cfg(unix)]
mod early_link;

use std::collections::{BTreeMap, BTreeSet};
use std::hash::Hash;
use std::process::ExitCode;
use std::sync::{Arc, OnceLock};

use rustc_ast::tokenstream::{TokenStream, TokenTree};
use rustc_data_structures::fingerprint::Fingerprint;
use rustc_data_structures::fx::{FxHashMap, FxHashSet};
use rustc_data_structures::stable_hasher::{HashStable, StableHasher};
use rustc_data_structures::svh::Svh;
use rustc_hir::def::DefKind;
use rustc_hir::def_id::{
    CrateNum, DefId, DefPathHash, LocalDefId, LocalDefIdSet, CRATE_DEF_ID, LOCAL_CRATE,
};
use rustc_hir::{
    Constness, ImplItemKind, ItemKind, ItemLocalId, MaybeOwner, Node, OwnerInfo, OwnerNode,
};
use rustc_interface::interface::Config;
use rustc_middle::ich::StableHashingContext;
use rustc_middle::middle::debugger_visualizer::DebuggerVisualizerFile;
use rustc_middle::query::LocalCrate;
use rustc_middle::ty::TyCtxt;
use rustc_middle::util::Providers;
use rustc_session::config::{CrateType, DebugInfo, ErrorOutputType, OutFileName, OutputType};
use rustc_session::{EarlyDiagCtxt, Session};
use rustc_span::hygiene::ExpnId;
use rustc_span::{BytePos, Span};

/// Where internal compiler errors met through this driver should be reported.
const BUG_REPORT_URL: &str = "https://github.com/kelvane/kelv/issues/new?labels=driver";

fn main() -> ExitCode {
    let early_dcx = EarlyDiagCtxt::new(ErrorOutputType::default());
    rustc_driver::init_rustc_env_logger(&early_dcx);
    rustc_driver::install_ice_hook(BUG_REPORT_URL, |_| ());
    rustc_driver::install_ctrlc_handler();

    let ready_fd = ready_fd();
    #[cfg(unix)]
    if let Some(fd) = ready_fd {
        // Linkers and other programs started by the compiler must not hold the
        // pipe open: the wrapper waits for it to close.
        early_link::set_close_on_exec(fd);
    }
    let mut callbacks = KelvCallbacks {
        interface_hash: std::env::var_os("KELV_DRIVER_INTERFACE_HASH").is_some(),
        ready_fd,
    };
    // The arguments are read inside the exit-code wrapper, as rustc's own
    // `main` does: a non-Unicode argument is a fatal error that ends with
    // rustc's message and exit code, not an unwinding past `main`.
    rustc_driver::catch_with_exit_code(|| {
        rustc_driver::run_compiler(&rustc_driver::args::raw_args(&early_dcx), &mut callbacks)
    })
}

/// The write end of the ready pipe, from `KELV_DRIVER_READY_FD` (Unix only).
/// A value that is not a descriptor number counts as unset.
fn ready_fd() -> Option<i32> {
    if !cfg!(unix) {
        return None;
    }
    let fd: i32 = std::env::var("KELV_DRIVER_READY_FD").ok()?.parse().ok()?;
    (fd >= 0).then_some(fd)
}

struct KelvCallbacks {
    interface_hash: bool,
    ready_fd: Option<i32>,
}

impl rustc_driver::Callbacks for KelvCallbacks {
    fn config(&mut self, config: &mut Config) {
        // As rustc's own driver does; it decides how paths are printed into metadata.
        config.opts.trimmed_def_paths = true;

        #[cfg(unix)]
        if let Some(fd) = self.ready_fd {
            let keep_dir =
                std::env::var_os("KELV_DRIVER_KEEP_OBJECTS").map(std::path::PathBuf::from);
            // The factory gets the options and the compilation's target.
            #[cfg(kelv_rustc = "1.95")]
            {
                config.make_codegen_backend = Some(Box::new(move |opts, target| {
                    // The backend rustc would have used, as rustc_interface picks it.
                    let early_dcx = EarlyDiagCtxt::new(opts.error_format);
                    let inner = rustc_interface::util::get_codegen_backend(
                        &early_dcx,
                        &opts.sysroot,
                        opts.unstable_opts.codegen_backend.as_deref(),
                        target,
                    );
                    Box::new(early_link::EarlyLink::new(inner, fd, keep_dir))
                        as Box<dyn rustc_codegen_ssa::traits::CodegenBackend>
                }));
            }
            // 1.96: `make_codegen_backend: Option<Box<dyn FnOnce(&Session) ->
            // Box<dyn CodegenBackend> + Send>>`; rustc_interface picks its own
            // backend from the session's options and target.
            #[cfg(kelv_rustc = "1.96")]
            {
                config.make_codegen_backend = Some(Box::new(move |sess| {
                    let early_dcx = EarlyDiagCtxt::new(sess.opts.error_format);
                    let inner = rustc_interface::util::get_codegen_backend(
                        &early_dcx,
                        &sess.opts.sysroot,
                        sess.opts.unstable_opts.codegen_backend.as_deref(),
                        &sess.target,
                    );
                    Box::new(early_link::EarlyLink::new(inner, fd, keep_dir))
                        as Box<dyn rustc_codegen_ssa::traits::CodegenBackend>
                }));
            }
        }

        if self.interface_hash {
            config.override_queries = Some(override_queries);
        }
    }
}

// ---------------------------------------------------------------------------
// Interface hash: the `crate_hash` query of the local crate.

type CrateHashProvider = for<'tcx> fn(TyCtxt<'tcx>, LocalCrate) -> Svh;

/// The compiler's own `crate_hash` provider, saved before ours replaces it.
static STOCK_CRATE_HASH: OnceLock<CrateHashProvider> = OnceLock::new();

fn override_queries(_sess: &Session, providers: &mut Providers) {
    let _ = STOCK_CRATE_HASH.set(providers.queries.crate_hash);
    providers.queries.crate_hash = interface_crate_hash;
}

fn interface_crate_hash(tcx: TyCtxt<'_>, key: LocalCrate) -> Svh {
    let stock = *STOCK_CRATE_HASH
        .get()
        .expect("stock crate_hash provider was saved");
    let types = tcx.crate_types();
    // Procedural macros run inside their dependents' compilations; binaries and
    // build scripts have no dependents. With `-Zalways-encode-mir` the MIR of
    // every body goes into the metadata, where dependents read it. Without a
    // crate hash there is no HIR hash either: 1.95 gates both on
    // `needs_crate_hash` (it has no separate `needs_hir_hash`), and so does 1.96.
    if types.contains(&CrateType::ProcMacro)
        || !types
            .iter()
            .any(|t| matches!(t, CrateType::Rlib | CrateType::Dylib))
        || tcx.sess.opts.unstable_opts.always_encode_mir
        || !tcx.needs_crate_hash()
    {
        return stock(tcx, key);
    }
    let (fingerprint, span_crates) = InterfaceHash::new(tcx).compute();
    let svh = Svh::new(fingerprint);
    write_crate_hash_files(tcx, svh, &span_crates);
    svh
}

/// The left-out part of a function whose body stays in this crate.
struct LeftOut {
    /// Per local id: whether that HIR node belongs to the left-out part (the
    /// body, the bodies nested in it and everything in them).
    inside: Vec<bool>,
    /// Per local id: the node's rank among the nodes outside the left-out part,
    /// the key under which the owner's entries for it are hashed.
    rank: Vec<u32>,
}

impl LeftOut {
    fn new(inside: Vec<bool>) -> Self {
        let mut kept = 0;
        let rank = inside
            .iter()
            .map(|&inside| {
                let rank = kept;
                kept += u32::from(!inside);
                rank
            })
            .collect();
        LeftOut { inside, rank }
    }
}

/// Per HIR owner: its left-out part, for a function whose body stays in this
/// crate.
type Decisions = FxHashMap<LocalDefId, Option<LeftOut>>;

/// 1.96: `hir::Crate` is `rustc_middle::hir::Crate { owners (private),
/// delayed_ids, delayed_resolver, opt_hir_hash }`, and `MaybeOwner` has a
/// `Delayed(DelayedOwnerKind)` variant for the owners (delegations) lowered
/// after the rest, one by one, by the `lower_delayed_owner` query (the stock
/// HIR hash, computed before that, leaves them out; this hash takes them in
/// like any other owner). `Crate::owner(tcx, def_id)` gives any definition's
/// entry: a delayed owner's once it is lowered, and for a definition beyond
/// the table what the `delayed_owner` query holds (the definitions that
/// lowering made, `Phantom` for any other). This is that view for all
/// definitions, in index order, as the `owners` table the code reads.
#[cfg(kelv_rustc = "1.96")]
struct HirOwners<'tcx> {
    owners: rustc_index::IndexVec<LocalDefId, MaybeOwner<'tcx>>,
}

#[cfg(kelv_rustc = "1.96")]
impl<'tcx> HirOwners<'tcx> {
    fn new(tcx: TyCtxt<'tcx>) -> Self {
        let krate = tcx.hir_crate(());
        let owners = tcx
            .iter_local_def_id()
            .map(|def_id| krate.owner(tcx, def_id))
            .collect();
        HirOwners { owners }
    }
}

struct InterfaceHash<'tcx> {
    tcx: TyCtxt<'tcx>,
    #[cfg(kelv_rustc = "1.95")]
    krate: &'tcx rustc_hir::Crate<'tcx>,
    #[cfg(kelv_rustc = "1.96")]
    krate: HirOwners<'tcx>,
    decisions: Decisions,
    /// Non-owner definitions that lowering attached to each owner, with their node.
    children: FxHashMap<LocalDefId, Vec<(LocalDefId, ItemLocalId)>>,
}

impl<'tcx> InterfaceHash<'tcx> {
    fn new(tcx: TyCtxt<'tcx>) -> Self {
        #[cfg(kelv_rustc = "1.95")]
        let krate = tcx.hir_crate(());
        #[cfg(kelv_rustc = "1.96")]
        let krate = HirOwners::new(tcx);
        // Optimized MIR, the only way a body can be inlined into a dependent,
        // goes into the metadata only when code is generated, and only for
        // reachable functions.
        let codegen_reachable = tcx
            .sess
            .opts
            .output_types
            .should_codegen()
            .then(|| tcx.reachable_set(()));
        let mut decisions = Decisions::default();
        let mut children: FxHashMap<_, Vec<_>> = FxHashMap::default();
        for (def_id, owner) in krate.owners.iter_enumerated() {
            match owner {
                MaybeOwner::Owner(info) => {
                    let decision = left_out_part(tcx, def_id, info, codegen_reachable);
                    decisions.insert(def_id, decision);
                }
                MaybeOwner::NonOwner(hir_id) => children
                    .entry(hir_id.owner.def_id)
                    .or_default()
                    .push((def_id, hir_id.local_id)),
                MaybeOwner::Phantom => {}
                #[cfg(kelv_rustc = "1.96")]
                MaybeOwner::Delayed(_) => unreachable!("`Crate::owner` lowers delayed owners"),
            }
        }
        InterfaceHash {
            tcx,
            krate,
            decisions,
            children,
        }
    }

    fn compute(&self) -> (Fingerprint, FxHashSet<CrateNum>) {
        let tcx = self.tcx;
        let expansions = self.numbered_expansions();
        let mut cx = SpanCx::new(tcx);
        let mut h = StableHasher::new();

        for (def_id, owner) in self.krate.owners.iter_enumerated() {
            if let MaybeOwner::Owner(info) = owner {
                self.hash_owner(&mut cx, &mut h, def_id, info);
            }
        }

        cx.mode = SpanMode::Lines;
        let mut upstream: Vec<_> = tcx
            .crates(())
            .iter()
            .map(|&c| (tcx.stable_crate_id(c), tcx.crate_hash(c)))
            .collect();
        upstream.sort_unstable_by_key(|&(id, _)| id);
        upstream.hash(&mut h);

        // The local source files in the order of the source map: dependents'
        // stored spans name a file by its place in this table, so a change of
        // order (two `include_str!` swapped) must change the hash.
        let source_map = tcx.sess.source_map();
        let files: Vec<_> = source_map
            .files()
            .iter()
            .filter(|f| f.cnum == LOCAL_CRATE)
            .map(|f| (f.stable_id, f.src_hash))
            .collect();
        files
            .iter()
            .map(|&(id, _)| id)
            .collect::<Vec<_>>()
            .hash(&mut h);
        // Debug information of dependents carries these checksums only here.
        // check: `Session::dwarf_version() -> u32` and the target's `is_like_msvc`
        // field (inlined and a field: the library's symbols cannot show them).
        let sess = tcx.sess;
        if sess.opts.debuginfo != DebugInfo::None
            && (sess.target.is_like_msvc || sess.dwarf_version() >= 5)
        {
            for (_, src_hash) in &files {
                src_hash.hash_stable(&mut cx, &mut h);
            }
        }

        let visualizers: Vec<_> = tcx
            .debugger_visualizers(LOCAL_CRATE)
            .iter()
            .map(DebuggerVisualizerFile::path_erased)
            .collect();
        stock_fingerprint(tcx, true, |hcx, h| visualizers.hash_stable(hcx, h)).hash(&mut h);

        // Definitions in index order, with the positions dependents can observe.
        let mut opaque_params = Vec::new();
        for def_id in tcx.iter_local_def_id() {
            let def_path_hash = tcx.def_path_hash(def_id.to_def_id());
            let in_hir = self
                .krate
                .owners
                .get(def_id)
                .is_some_and(|o| !matches!(o, MaybeOwner::Phantom));
            if !in_hir
                && tcx
                    .opt_local_parent(def_id)
                    .is_some_and(|p| tcx.def_kind(p) == DefKind::OpaqueTy)
            {
                // Created in query order after lowering; their numbers are not stable.
                opaque_params.push(def_path_hash);
                continue;
            }
            def_id.local_def_index.as_u32().hash(&mut h);
            def_path_hash.hash(&mut h);
            if def_id != CRATE_DEF_ID && self.position_observable(def_id) {
                cx.hash_span(tcx.source_span(def_id), &mut h);
            }
        }
        opaque_params.sort_unstable();
        opaque_params.hash(&mut h);

        expansions.len().hash(&mut h);
        for (&number, &expn) in &expansions {
            let data = expn.expn_data();
            number.hash(&mut h);
            data.kind.hash_stable(&mut cx, &mut h);
            data.macro_def_id.hash_stable(&mut cx, &mut h);
            let parent = data.parent;
            (parent.krate == LOCAL_CRATE)
                .then(|| parent.local_id.as_u32())
                .hash(&mut h);
        }

        // Names re-exported from other crates keep byte offsets into those
        // crates' files in this crate's metadata.
        let mut reexports = Vec::new();
        let mut span_crates = FxHashSet::default();
        for def_id in tcx.iter_local_def_id() {
            if tcx.def_kind(def_id) != DefKind::Mod {
                continue;
            }
            for child in tcx.module_children_local(def_id) {
                let span = child.ident.span.data_untracked();
                if child.reexport_chain.is_empty() || span.is_dummy() {
                    continue;
                }
                let file = source_map.lookup_source_file(span.lo);
                if file.cnum == LOCAL_CRATE {
                    continue;
                }
                span_crates.insert(file.cnum);
                reexports.push((
                    tcx.stable_crate_id(file.cnum),
                    file.stable_id,
                    (span.lo - file.start_pos).0,
                    (span.hi - file.start_pos).0,
                ));
            }
        }
        reexports.sort_unstable();
        reexports.hash(&mut h);

        if sess.opts.output_types.should_codegen() {
            let mut symbols: Vec<Fingerprint> = tcx.with_stable_hashing_context(|mut hcx| {
                let non_generic = tcx.exported_non_generic_symbols(LOCAL_CRATE);
                let generic = tcx.exported_generic_symbols(LOCAL_CRATE);
                non_generic
                    .iter()
                    .chain(generic)
                    .map(|symbol| {
                        let mut h = StableHasher::new();
                        symbol.hash_stable(&mut hcx, &mut h);
                        h.finish()
                    })
                    .collect()
            });
            symbols.sort_unstable();
            symbols.hash(&mut h);
        }

        sess.opts.dep_tracking_hash(true).hash(&mut h);
        tcx.stable_crate_id(LOCAL_CRATE).hash(&mut h);
        let visibilities = &tcx.resolutions(()).visibilities_for_hashing;
        stock_fingerprint(tcx, true, |hcx, h| visibilities.hash_stable(hcx, h)).hash(&mut h);
        // Hashed with spans by lines, order-independently.
        // check: `freeze_and_get_read_spans` returns an `UnordMap<Span, Span>`
        // (the symbol exists; its return type is not in the symbol table).
        rustc_span::with_metavar_spans(|spans| {
            spans
                .freeze_and_get_read_spans()
                .hash_stable(&mut cx, &mut h)
        });

        (h.finish(), span_crates)
    }

    fn hash_owner(
        &self,
        cx: &mut SpanCx<'tcx>,
        h: &mut StableHasher,
        def_id: LocalDefId,
        info: &OwnerInfo<'tcx>,
    ) {
        let tcx = self.tcx;
        let left_out = self.decisions[&def_id].as_ref();
        let kept = |id: ItemLocalId| {
            !left_out.is_some_and(|l| l.inside.get(id.as_usize()).copied().unwrap_or(false))
        };
        // The key of the owner's entries for a kept node: its local id, or for
        // an owner with a left-out part its rank among the kept nodes. rustc
        // 1.95 lowers a function's body before its signature, so the local ids
        // of the signature's nodes move whenever the body gains or loses HIR
        // nodes; their order among the kept nodes does not. What still moves:
        // rustc's own stable hashing of a `BodyId` includes its local id, so
        // the bodies a signature refers to (array lengths, const arguments and
        // const-parameter defaults written in the signature, and the bodies
        // nested in those) make the function's hash change with the size of
        // its body.
        let key = |id: ItemLocalId| {
            left_out.map_or(id.as_u32(), |l| {
                l.rank.get(id.as_usize()).copied().unwrap_or(id.as_u32())
            })
        };
        let node = info.node();

        match node {
            OwnerNode::Item(item) if matches!(item.kind, ItemKind::Macro(..)) => {
                cx.mode = SpanMode::Offsets;
                node.hash_stable(cx, h);
            }
            _ if left_out.is_some() => {
                cx.mode = SpanMode::Off;
                hash_fn_without_body(cx, h, node);
            }
            _ => {
                cx.mode = SpanMode::Off;
                node.hash_stable(cx, h);
            }
        }

        cx.mode = SpanMode::Lines;
        for &(id, body) in info.nodes.bodies.iter() {
            if kept(id) {
                key(id).hash(h);
                body.hash_stable(cx, h);
            }
        }

        cx.mode = SpanMode::Off;
        // HIR attribute slices are hashable with rustc's own context only (it
        // leaves out doc comments and ignored attributes), so they are hashed
        // there, spans off.
        stock_fingerprint(tcx, false, |hcx, h| {
            for &(id, attrs) in info.attrs.map.iter() {
                if kept(id) {
                    key(id).hash(h);
                    attrs.hash_stable(hcx, h);
                }
            }
        })
        .hash(h);
        // The owner's `#[define_opaque]` list (`(Span, LocalDefId)` pairs).
        info.attrs.define_opaque.hash_stable(cx, h);
        // `parenting` and `trait_map` are `UnordMap`s keyed by definition and by
        // local id.
        #[cfg(kelv_rustc = "1.95")]
        let parenting = info.parenting.to_sorted(&*cx, false);
        // 1.96: `UnordMap::to_sorted(&self, hcx: &mut Hcx, cache_sort_key)`
        // (`ToStableHashKey::to_stable_hash_key` takes `&mut Hcx`).
        #[cfg(kelv_rustc = "1.96")]
        let parenting = info.parenting.to_sorted(&mut *cx, false);
        let parenting: Vec<(DefPathHash, u32)> = parenting
            .into_iter()
            .filter(|&(_, &parent)| kept(parent))
            .map(|(&child, &parent)| (tcx.def_path_hash(child.to_def_id()), key(parent)))
            .collect();
        parenting.hash(h);
        for (&id, candidates) in info.trait_map.to_sorted_stable_ord() {
            if kept(id) {
                key(id).hash(h);
                candidates.hash_stable(cx, h);
            }
        }
        // 1.95's `OwnerInfo` (nodes, parenting, attrs, trait_map,
        // delayed_lints) has no list of the definitions lowering made on the
        // side; they are the crate's `NonOwner` entries that point here.
        let mut children: Vec<DefPathHash> = self
            .children
            .get(&def_id)
            .into_iter()
            .flatten()
            .filter(|&&(_, local)| kept(local))
            .map(|&(child, _)| tcx.def_path_hash(child.to_def_id()))
            .collect();
        children.sort_unstable();
        children.hash(h);
        if left_out.is_some() {
            // Metadata records the parameter names (`Option<Ident>` each).
            let names: Vec<_> = tcx
                .fn_arg_idents(def_id)
                .iter()
                .map(|i| i.map(|i| i.name))
                .collect();
            names.hash_stable(cx, h);
        }
    }

    /// A definition's position counts unless it lies under an owner whose body
    /// is left out (the owner itself, definitions inside the body, the owner's
    /// lifetime parameters). Decided from the definitions alone, since the
    /// compiler creates definitions after lowering that have no HIR.
    fn position_observable(&self, mut def_id: LocalDefId) -> bool {
        loop {
            if let Some(decision) = self.decisions.get(&def_id) {
                return decision.is_none();
            }
            match self.tcx.opt_local_parent(def_id) {
                Some(parent) => def_id = parent,
                None => return true,
            }
        }
    }

    /// The local expansions behind the tokens of this crate's macro definitions,
    /// with their parents, by number. Metadata refers to them by these numbers.
    fn numbered_expansions(&self) -> BTreeMap<u32, ExpnId> {
        let mut found = BTreeMap::new();
        let mut visit = |span: Span| {
            for (expn, _) in span.ctxt().marks() {
                let mut expn = expn;
                while expn.krate == LOCAL_CRATE && expn != ExpnId::root() {
                    if found.insert(expn.local_id.as_u32(), expn).is_some() {
                        break;
                    }
                    expn = expn.expn_data().parent;
                }
            }
        };
        for owner in self.krate.owners.iter() {
            let Some(info) = owner.as_owner() else {
                continue;
            };
            let OwnerNode::Item(item) = info.node() else {
                continue;
            };
            // 1.95: `ItemKind::Macro(Ident, &MacroDef, MacroKinds)`.
            if let ItemKind::Macro(_, def, _) = item.kind {
                visit(def.body.dspan.open);
                visit(def.body.dspan.close);
                visit_token_spans(&def.body.tokens, &mut visit);
            }
        }
        found
    }
}

fn visit_token_spans(tokens: &TokenStream, visit: &mut impl FnMut(Span)) {
    for tree in tokens.iter() {
        match tree {
            TokenTree::Token(token, _) => visit(token.span),
            TokenTree::Delimited(dspan, _, _, inner) => {
                visit(dspan.open);
                visit(dspan.close);
                visit_token_spans(inner, visit);
            }
        }
    }
}

/// Decides whether an owner is a function whose code stays in this crate, and
/// if so which of its HIR nodes form the left-out part. `codegen_reachable` is
/// the crate's reachable set when code is generated.
fn left_out_part<'tcx>(
    tcx: TyCtxt<'tcx>,
    def_id: LocalDefId,
    info: &OwnerInfo<'tcx>,
    codegen_reachable: Option<&LocalDefIdSet>,
) -> Option<LeftOut> {
    // 1.95: `ItemKind::Fn { sig, ident, generics, body, has_body }`.
    let (sig, body) = match info.node() {
        OwnerNode::Item(item) => match item.kind {
            ItemKind::Fn {
                sig,
                body,
                has_body: true,
                ..
            } => (sig, body),
            _ => return None,
        },
        OwnerNode::ImplItem(item) => match item.kind {
            ImplItemKind::Fn(sig, body) => (sig, body),
            _ => return None,
        },
        _ => return None,
    };
    let nodes = &info.nodes.nodes;
    if sig.header.is_const()
        // Also the methods of `impl const` blocks, whose constness is the impl's.
        || matches!(tcx.constness(def_id), Constness::Const)
        || sig.header.is_async()
        || tcx.coroutine_kind(def_id).is_some()
        || tcx.generics_of(def_id).requires_monomorphization(tcx)
        // The body decides the hidden type of every opaque type it defines,
        // and dependents see those types: its own `impl Trait` return type,
        // the type aliases it names in `#[define_opaque]`, the `impl Trait`
        // associated types of its impl that its signature mentions, and those
        // declared inside it. Opaque-type nodes of the owner count too.
        || !tcx.opaque_types_defined_by(def_id).is_empty()
        || nodes.iter().any(|n| matches!(n.node, Node::OpaqueTy(..)))
        // Asked only when code is generated: without `-Cincremental` and above
        // opt-level 0 the answer needs the optimized MIR, which a `cargo check`
        // does not build otherwise (and whose metadata holds no such MIR).
        || (codegen_reachable.is_some_and(|reachable| reachable.contains(&def_id))
            && tcx.cross_crate_inlinable(def_id))
    {
        return None;
    }

    let mut state: Vec<Option<bool>> = vec![None; nodes.len()];
    state[0] = Some(false);
    let main = info.nodes.bodies.get(&body.hir_id.local_id)?;
    state[body.hir_id.local_id.as_usize()] = Some(true);
    for param in main.params {
        state[param.hir_id.local_id.as_usize()] = Some(true);
    }
    // A node is inside when its chain of parents reaches the body or one of
    // its parameters before the owner.
    for start in 0..nodes.len() {
        let mut path = Vec::new();
        let mut at = start;
        let inside = loop {
            if let Some(known) = state[at] {
                break known;
            }
            path.push(at);
            let parent = nodes[ItemLocalId::from_usize(at)].parent.as_usize();
            if parent >= nodes.len() {
                break false;
            }
            at = parent;
        };
        for at in path {
            state[at] = Some(inside);
        }
    }
    Some(LeftOut::new(
        state.into_iter().map(|s| s == Some(true)).collect(),
    ))
}

/// Everything of a function's item but its body, for an owner with a left-out part.
fn hash_fn_without_body(cx: &mut SpanCx<'_>, h: &mut StableHasher, node: OwnerNode<'_>) {
    match node {
        OwnerNode::Item(item) => {
            if let ItemKind::Fn {
                sig,
                ident,
                generics,
                body: _,
                has_body,
            } = &item.kind
            {
                item.owner_id.hash_stable(cx, h);
                sig.hash_stable(cx, h);
                ident.hash_stable(cx, h);
                generics.hash_stable(cx, h);
                has_body.hash_stable(cx, h);
                item.span.hash_stable(cx, h);
                item.vis_span.hash_stable(cx, h);
                // 1.95's `hir::Item` is `{ owner_id, kind, span, vis_span,
                // has_delayed_lints, eii }`; the lints concern this crate only.
                item.eii.hash_stable(cx, h);
            }
        }
        OwnerNode::ImplItem(item) => {
            if let ImplItemKind::Fn(sig, _) = &item.kind {
                item.ident.hash_stable(cx, h);
                item.owner_id.hash_stable(cx, h);
                item.generics.hash_stable(cx, h);
                sig.hash_stable(cx, h);
                // 1.95: `ImplItemImplKind::{Inherent { vis_span }, Trait { defaultness,
                // trait_item_def_id }}`.
                item.impl_kind.hash_stable(cx, h);
                item.span.hash_stable(cx, h);
            }
        }
        _ => unreachable!("only functions have a left-out part"),
    }
}

/// Hashes with the compiler's own hashing context, for types whose stable
/// hashing is implemented for that context only.
fn stock_fingerprint(
    tcx: TyCtxt<'_>,
    hash_spans: bool,
    f: impl FnOnce(&mut StableHashingContext<'_>, &mut StableHasher),
) -> Fingerprint {
    tcx.with_stable_hashing_context(|mut hcx| {
        let mut h = StableHasher::new();
        hcx.while_hashing_spans(hash_spans, |hcx| f(hcx, &mut h));
        h.finish()
    })
}

// ---------------------------------------------------------------------------
// The span-hashing context.

#[derive(Clone, Copy, PartialEq, Eq, Hash)]
enum SpanMode {
    /// Spans contribute nothing.
    Off,
    /// File, lines and columns.
    Lines,
    /// File, lines, columns and byte offsets from the start of the file.
    Offsets,
}

struct SpanCx<'tcx> {
    tcx: TyCtxt<'tcx>,
    mode: SpanMode,
    /// Expansion fingerprints, per expansion and mode.
    expansions: FxHashMap<(ExpnId, SpanMode), Fingerprint>,
}

impl<'tcx> SpanCx<'tcx> {
    fn new(tcx: TyCtxt<'tcx>) -> Self {
        SpanCx {
            tcx,
            mode: SpanMode::Off,
            expansions: FxHashMap::default(),
        }
    }

    fn hash_span(&mut self, span: Span, h: &mut StableHasher) {
        if self.mode == SpanMode::Off {
            return;
        }
        let data = span.data_untracked();
        let marks = data.ctxt.marks();
        marks.len().hash(h);
        for (expn, transparency) in marks {
            self.expansion_fingerprint(expn).hash(h);
            (transparency as u8).hash(h);
        }
        let source_map = self.tcx.sess.source_map();
        let lines = match (
            source_map.lookup_line(data.lo),
            source_map.lookup_line(data.hi),
        ) {
            (Ok(lo), Ok(hi)) if !data.is_dummy() && Arc::ptr_eq(&lo.sf, &hi.sf) => {
                Some((lo, hi.line))
            }
            _ => None,
        };
        let Some((lo, hi_line)) = lines else {
            1u8.hash(h);
            return;
        };
        let file = &lo.sf;
        let column = |line: usize, pos: BytePos| (pos - file.line_bounds(line).start).0;
        // Programs observe character columns (`Location::caller()`, panic
        // locations, `#[track_caller]`) and debuggers display columns: an edit
        // that keeps a line's byte count but not its character count (`é` for
        // `ab`) or its display width (a tab for a letter) moves them.
        let (_, lo_char, lo_display) = file.lookup_file_pos_with_col_display(data.lo);
        let (_, hi_char, hi_display) = file.lookup_file_pos_with_col_display(data.hi);
        0u8.hash(h);
        file.stable_id.hash(h);
        (
            lo.line,
            column(lo.line, data.lo),
            hi_line,
            column(hi_line, data.hi),
        )
            .hash(h);
        (lo_char.0, lo_display, hi_char.0, hi_display).hash(h);
        if self.mode == SpanMode::Offsets {
            ((data.lo - file.start_pos).0, (data.hi - file.start_pos).0).hash(h);
        }
    }

    /// Zero for the root; for a local expansion the hash of its data with the
    /// parent replaced by the root, then its parent's fingerprint; for another
    /// crate's expansion the hash of its expansion hash from that crate.
    fn expansion_fingerprint(&mut self, expn: ExpnId) -> Fingerprint {
        if expn == ExpnId::root() {
            return Fingerprint::ZERO;
        }
        if let Some(&known) = self.expansions.get(&(expn, self.mode)) {
            return known;
        }
        let mut h = StableHasher::new();
        if expn.krate == LOCAL_CRATE {
            let mut data = expn.expn_data();
            let parent = std::mem::replace(&mut data.parent, ExpnId::root());
            data.hash_stable(self, &mut h);
            self.expansion_fingerprint(parent).hash(&mut h);
        } else {
            expn.expn_hash().hash(&mut h);
        }
        let fingerprint = h.finish();
        self.expansions.insert((expn, self.mode), fingerprint);
        fingerprint
    }
}

// In 1.95 the context hashes spans itself: `span_hash_stable`, `def_path_hash`
// and `assert_default_hashing_controls` are the trait's methods.
impl rustc_span::HashStableContext for SpanCx<'_> {
    fn span_hash_stable(&mut self, span: Span, hasher: &mut StableHasher) {
        self.hash_span(span, hasher)
    }

    fn def_path_hash(&self, def_id: DefId) -> DefPathHash {
        self.tcx.def_path_hash(def_id)
    }

    /// Spans are hashed exactly when the mode is not off, and expansions are
    /// hashed only then.
    fn assert_default_hashing_controls(&self, msg: &str) {
        assert!(
            self.mode != SpanMode::Off,
            "kelv: {msg} hashed with spans off"
        );
    }
}

// HIR's stable hashing asks for `rustc_hir::HashStableContext`, which in 1.95
// has no methods of its own: it is `rustc_ast::HashStableContext` (itself
// `rustc_span`'s, with nothing added) and `rustc_abi::HashStableContext`
// (which `rustc_target` re-exports; implementing both is one trait twice).
// 1.96 has `rustc_span::HashStableContext` only: the HIR, AST and ABI types
// hash with any context that implements it.
#[cfg(kelv_rustc = "1.95")]
impl rustc_ast::HashStableContext for SpanCx<'_> {}
#[cfg(kelv_rustc = "1.95")]
impl rustc_abi::HashStableContext for SpanCx<'_> {}
#[cfg(kelv_rustc = "1.95")]
impl rustc_hir::HashStableContext for SpanCx<'_> {}

// ---------------------------------------------------------------------------
// The crate hash files beside the metadata.

fn write_crate_hash_files(tcx: TyCtxt<'_>, svh: Svh, span_crates: &FxHashSet<CrateNum>) {
    let OutFileName::Real(rmeta) = tcx.output_filenames(()).path(OutputType::Metadata) else {
        return;
    };
    let write = |extension: &str, text: String| {
        let path = rmeta.with_extension(extension);
        if let Err(err) = replace_file(&path, |temp| std::fs::write(temp, &text)) {
            tcx.dcx()
                .fatal(format!("kelv: cannot write {}: {}", path.display(), err));
        }
    };
    write("kelv-svh", format!("{svh}\n"));

    let mut paths = BTreeSet::new();
    for &cnum in span_crates {
        // The dylib, rlib and rmeta paths that exist. `paths()` gives them
        // whether the fields hold a bare path or a path with its search kind
        // (the field type changed around 1.95).
        for path in tcx.used_crate_source(cnum).paths() {
            paths.insert(path.to_string_lossy().into_owned());
        }
    }
    write(
        "kelv-span-deps",
        paths.into_iter().map(|p| p + "\n").collect(),
    );
}

/// Replaces the whole file at `path`: `write` fills a temporary sibling
/// (".{name}.{pid}.tmp"), which is then renamed over `path`. Files beside the
/// outputs are never rewritten in place, since cache entries may share their
/// inodes. On failure the temporary file is removed again.
fn replace_file(
    path: &std::path::Path,
    write: impl FnOnce(&std::path::Path) -> std::io::Result<()>,
) -> std::io::Result<()> {
    let Some(name) = path.file_name() else {
        return Err(std::io::Error::other("a path without a file name"));
    };
    let mut temp_name = std::ffi::OsString::from(".");
    temp_name.push(name);
    temp_name.push(format!(".{}.tmp", std::process::id()));
    let temp = path.with_file_name(temp_name);
    let _ = std::fs::remove_file(&temp);
    let replaced = write(&temp).and_then(|()| std::fs::rename(&temp, path));
    if replaced.is_err() {
        let _ = std::fs::remove_file(&temp);
    }
    replaced
}
